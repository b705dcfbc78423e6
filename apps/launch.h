// The launch of a component's process: the pipes it answers on and the
// fork and exec, with the child's steps in between (descriptors, signal
// mask, account, session).
//
// Thread safety: the functions keep no state; a plan is used by the thread
// that built it.
#ifndef KORZA_APPS_LAUNCH_H_
#define KORZA_APPS_LAUNCH_H_

#include <sys/types.h>

#include "base/utils.h"

namespace Launch {

// pipe() with both ends above 2 and close-on-exec; false on failure (no
// descriptor left open).
bool makePipe(int ends[2]);

// What the child needs, prepared before the fork.
struct ChildPlan {
  const char* path;
  char* const* args;
  int answerWrite;                // write end of the answer pipe
  int errWrite;                   // write end of the standard-error pipe, or -1
  int reportWrite;                // write end of the launch-report pipe
  const Utils::Account* account;  // looked up before the fork
  const char* groupsMessage;
  const char* groupMessage;
  const char* userMessage;
  const char* execMessage;
};

// Forks; the child runs the plan and never returns (it execs or ends with
// the step's exit code after writing "E"). Returns the child's pid, or -1
// with errno set when the fork failed.
pid_t spawn(const ChildPlan& plan);

}  // namespace Launch

#endif  // KORZA_APPS_LAUNCH_H_
