// Who is at the other end of a connected Unix-domain socket: the effective
// uid the kernel recorded for the peer (SO_PEERCRED on Linux, getpeereid on
// the BSDs). The only place that knows how each platform tells it.
#ifndef KORZA_BASE_PEER_CRED_H_
#define KORZA_BASE_PEER_CRED_H_

#include <sys/types.h>

namespace Utils {

// True and `uid` set when the system names the peer of `fd`; false (errno
// set) for a socket of another family, or where the system cannot tell.
bool peerUid(int fd, uid_t* uid);

}  // namespace Utils

#endif  // KORZA_BASE_PEER_CRED_H_
