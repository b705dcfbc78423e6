// Waiting for a child process to end without polling on a fixed period.
//
// On Linux the wait sleeps on a process descriptor (pidfd_open + poll), on
// FreeBSD on a kqueue EVFILT_PROC/NOTE_EXIT event; either wakes the moment
// the child has ended. Where neither is available (an old kernel, another
// system) a short back-off loop of waitpid(WNOHANG) checks stands in,
// starting at half a millisecond and growing to 20 ms.
#ifndef KORZA_BASE_CHILD_WAIT_H_
#define KORZA_BASE_CHILD_WAIT_H_

#include <sys/types.h>

namespace Utils {

// Waits up to `timeout_ms` milliseconds (negative: without limit; 0: one
// check only) for the child `pid` to end, and reaps it. True with *status
// filled when it was reaped; false when it still runs at the deadline.
// Interrupted system calls are resumed with the time that is left. Throws
// std::runtime_error "waitpid(PID, ..) error: TEXT" as waitPid does.
bool waitChild(pid_t pid, int* status, int timeout_ms);

// Sends `signo` to the process group that `pid` leads; when `pid` leads no
// group (it has not yet called setsid, or it is gone), to `pid` alone.
// Returns what kill returned for the last attempt.
int killGroup(pid_t pid, int signo);

// Tests: true makes waitChild use the back-off loop alone, as on a system
// without process descriptors or kqueue.
void TEST_forceBackoff(bool on);

}  // namespace Utils

#endif  // KORZA_BASE_CHILD_WAIT_H_
