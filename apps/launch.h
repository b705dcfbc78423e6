// The launch of a component's process: the pipes it answers on and the
// start and exec, with the child's steps in between (descriptors, signal
// mask, limits, account, session).
//
// Where the platform allows it (Linux, see base/spawn.h) the child shares
// the daemon's memory and descriptor table until it execs, so a start does
// not copy the daemon's page tables or its descriptor table; elsewhere it is
// forked. Both take the same steps with the same messages and exit codes.
// launch.cpp also holds the component's side (Component::startComp and
// __start): the pipes, the plan, and the bookkeeping once the child runs.
//
// Thread safety: spawn may be called from several threads at once; a plan
// is used by the thread that built it.
#ifndef KORZA_APPS_LAUNCH_H_
#define KORZA_APPS_LAUNCH_H_

#include <sys/resource.h>
#include <sys/types.h>

#include "base/utils.h"

namespace Launch {

// pipe() with both ends above 2 and close-on-exec; false on failure (no
// descriptor left open).
bool makePipe(int ends[2]);

// Everything the child needs, prepared before the start: the child
// allocates nothing and reads only this (and what it points to), which must
// stay unchanged until spawn returns.
struct ChildPlan {
  const char* path = nullptr;
  char* const* args = nullptr;
  int answerWrite = -1;                     // write end of the answer pipe
  int errWrite = -1;                        // write end of the standard-error pipe, or -1
  int reportWrite = -1;                     // write end of the launch-report pipe
  const Utils::Account* account = nullptr;  // looked up before the start
  // When set, the child's RLIMIT_NOFILE before exec ("cannot set system
  // limits", exit code 1, when refused).
  bool setNoFileLimit = false;
  struct rlimit noFileLimit = {};
  const char* groupsMessage = "";
  const char* groupMessage = "";
  const char* userMessage = "";
  const char* execMessage = "";
};

// Starts the child, which runs the plan and never returns: it execs, or it
// writes the failed step's message and error number to the report pipe and
// "E" to the answer pipe and ends with the step's exit code. Returns the
// child's pid, or -1 with errno set when no child could be started.
pid_t spawn(const ChildPlan& plan);

// True when spawn starts children that share the daemon's memory and
// descriptor table until exec; false when it forks.
bool sharedStart();

// Makes spawn fork even where it could share (so that tests run both kinds
// of child on one platform).
void TEST_forceFork(bool force);

}  // namespace Launch

#endif  // KORZA_APPS_LAUNCH_H_
