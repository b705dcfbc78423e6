#include "base/peer_cred.h"

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>

namespace Utils {

bool peerUid(int fd, uid_t* uid) {
  struct sockaddr_storage addr;
  socklen_t len = sizeof addr;
  if (getsockname(fd, reinterpret_cast<struct sockaddr*>(&addr), &len) != 0) return false;
  if (addr.ss_family != AF_UNIX) {
    errno = EAFNOSUPPORT;
    return false;
  }
#if defined(__linux__)
  struct ucred cred;
  socklen_t size = sizeof cred;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0) return false;
  *uid = cred.uid;
  return true;
#elif defined(__FreeBSD__) || defined(__APPLE__) || defined(__OpenBSD__) || defined(__NetBSD__)
  gid_t gid;
  return getpeereid(fd, uid, &gid) == 0;
#else
  (void)uid;
  errno = ENOSYS;
  return false;
#endif
}

}  // namespace Utils
