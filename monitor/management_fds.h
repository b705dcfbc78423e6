// Watching the management descriptors: the read ends of the components'
// answer pipes. End-of-file on one means its component has gone; data on
// one is logged and otherwise ignored.
//
// Thread safety: no state; the main-loop thread calls it.
#ifndef KORZA_MONITOR_MANAGEMENT_FDS_H_
#define KORZA_MONITOR_MANAGEMENT_FDS_H_

#include <vector>

// Waits at most `timeout_ms` (0: just look) for any of `fds` (values below 1
// are skipped) to become readable, reads what is there and returns the
// descriptors that reached end-of-file, in the order given. Uses poll, so
// descriptor numbers are not limited by FD_SETSIZE. Interrupted waits are
// restarted with the time that is left. A readable `wake_fd` (-1: none)
// ends the wait early; it is drained and never reported.
std::vector<int> collectClosedDescriptors(const std::vector<int>& fds, int timeout_ms,
                                          int wake_fd = -1);

#endif  // KORZA_MONITOR_MANAGEMENT_FDS_H_
