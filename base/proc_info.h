// What the system knows about a process by its id, and the descriptor limit
// the daemon runs with and hands on to its children.
//
// Thread safety: processStartTime has no state. The descriptor limit is set
// once at start-up, before any child is started, and only read afterwards.
#ifndef KORZA_BASE_PROC_INFO_H_
#define KORZA_BASE_PROC_INFO_H_

#include <sys/resource.h>
#include <sys/types.h>

#include <cstdint>

namespace Utils {

// The start time of process `pid` in the system's own unit (clock ticks
// since boot on Linux, microseconds since the epoch on FreeBSD). Two
// processes that had the same pid one after the other never share it. 0
// when the process does not exist, has ended (a zombie counts as ended), or
// the system cannot tell: callers must treat 0 as "never the same process".
uint64_t processStartTime(pid_t pid);

// Raises the soft RLIMIT_NOFILE to the hard limit and remembers the soft
// limit the process was started with for its children. Fills both values;
// false (errno set) when the limits could not be read or raised, in which
// case the children keep the current soft limit.
bool raiseNoFileLimit(rlim_t& before, rlim_t& after);

// The soft descriptor limit a child is given before exec: the one the daemon
// was started with. RLIM_INFINITY when nothing was recorded (keep the
// inherited one). Async-signal-safe.
rlim_t childNoFileLimit();
void setChildNoFileLimit(rlim_t limit);

}  // namespace Utils

#endif  // KORZA_BASE_PROC_INFO_H_
