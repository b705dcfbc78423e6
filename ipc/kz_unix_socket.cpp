// Unix-domain socket channels: binding to a path (replacing a stale socket
// file nobody listens on), the mode of the socket file, and its removal
// when the channel that bound it closes.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include "base/kz_exception.h"
#include "base/log.h"
#include "base/utils.h"
#include "ipc/kz_socket.h"

namespace korza {
namespace ipc {

using base::KzParameterError;
using base::KzSystemError;

namespace {

// How long IsStalled waits for a listener to take the probe connection.
const KzTimeout kStaleProbeTimeout(500u);

}  // namespace

// Unix-domain sockets.

void KzUnixSocket::Create() {
  const auto* address =
      dynamic_cast<const KzUnixSocketAddress*>(listening_ ? local_.get() : remote_.get());
  if (address == nullptr) throw KzParameterError("UnixSocket::Create", "address", "null");
  if (!address->PathFits()) {
    throw KzParameterError("UnixSocket::Create", "path", address->path());
  }
  OpenHandle(AF_UNIX, "unix-socket create");
  if (!local_) return;
  const auto* local = dynamic_cast<const KzUnixSocketAddress*>(local_.get());
  if (local == nullptr) throw KzParameterError("UnixSocket::Create", "local address", "null");
  if (!local->PathFits()) throw KzParameterError("UnixSocket::Create", "path", local->path());
  if (bind(handle_, local_->SockAddr(), local_->SockAddrLen()) == 0) {
    Bound(local->path());
    return;
  }
  int err = errno;
  if (err == EADDRINUSE) {
    if (IsStalled()) {
      if (unlink(local->path().c_str()) != 0) {
        ipcLog().error("unxi-socket unlink(" + local->path() +
                       ") failed: " + Utils::errorText(errno));
      }
      if (bind(handle_, local_->SockAddr(), local_->SockAddrLen()) == 0) {
        ipcLog().info("UnixSocket::Create " + Text() +
                      " stalled socket has been removed and binded");
        Bound(local->path());
        return;
      }
      err = errno;
    } else {
      ipcLog().error(Text() + " - somebody uses this socket");
    }
  }
  ipcLog().error("unix-socket create failed: " + Utils::errorText(err));
  throw KzSystemError("unix-socket create", err);
}

void KzUnixSocket::Bound(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
    bound_ = true;
    bound_dev_ = st.st_dev;
    bound_ino_ = st.st_ino;
  }
  ChMod(mode_);
}

void KzUnixSocket::RemoveBoundFile() {
  if (!bound_) return;
  bound_ = false;
  const auto* address = dynamic_cast<const KzUnixSocketAddress*>(local_.get());
  if (address == nullptr) return;
  // Only the very socket file this channel bound goes: not one a later
  // server bound at the same path, nor whatever replaced it.
  struct stat st;
  if (lstat(address->path().c_str(), &st) != 0 || !S_ISSOCK(st.st_mode) ||
      st.st_dev != bound_dev_ || st.st_ino != bound_ino_) {
    return;
  }
  if (unlink(address->path().c_str()) != 0 && errno != ENOENT) {
    ipcLog().error("unix-socket unlink(" + Utils::printable(address->path()) +
                   ") failed: " + Utils::errorText(errno));
  }
}

void KzUnixSocket::Close() {
  RemoveBoundFile();
  KzSocket::Close();
}

KzUnixSocket::~KzUnixSocket() { RemoveBoundFile(); }

bool KzUnixSocket::Connect(const KzTimeout& timeout) {
  const auto* address = dynamic_cast<const KzUnixSocketAddress*>(remote_.get());
  if (address != nullptr && !address->PathFits()) {
    throw KzParameterError("UnixSocket::Connect", "path", address->path());
  }
  return KzSocket::Connect(timeout);
}

bool KzUnixSocket::IsStalled() {
  const auto* address = dynamic_cast<const KzUnixSocketAddress*>(local_.get());
  if (address == nullptr) return false;
  // Only a socket file can be stale; anything else at that path is not ours
  // to remove.
  struct stat st;
  if (lstat(address->path().c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) {
    ipcLog().error("UnixSocket::IsStalled " + Text() + " the path is not a socket");
    return false;
  }
  KzUnixSocket probe;
  probe.SetRemoteAddress(local_->Clone());
  try {
    if (probe.Connect(kStaleProbeTimeout)) {
      ipcLog().info("UnixSocket::IsStalled " + Text() +
                    " successfully connected so somebody uses this socket");
      return false;
    }
    ipcLog().info("UnixSocket::IsStalled " + Text() +
                  " cannot connect to this socket (timed out) - probably the socket is used");
    return false;
  } catch (const std::exception& e) {
    ipcLog().info("UnixSocket::IsStalled " + Text() + " stalled socket has been detected (" +
                  e.what() + ")");
    return true;
  }
}

void KzUnixSocket::ChMod(uint16_t mode) {
  const auto* address = dynamic_cast<const KzUnixSocketAddress*>(local_.get());
  if (address == nullptr) return;
  // The mode goes to the socket just bound, never through a link put in
  // its place: where the system cannot refuse links itself, the path must
  // still be a socket.
  const char* path = address->path().c_str();
  int rc = fchmodat(AT_FDCWD, path, mode, AT_SYMLINK_NOFOLLOW);
  if (rc != 0) {
    struct stat st;
    rc = lstat(path, &st);
    if (rc == 0 && !S_ISSOCK(st.st_mode)) {
      errno = S_ISLNK(st.st_mode) ? ELOOP : EINVAL;
      rc = -1;
    }
    if (rc == 0) rc = chmod(path, mode);
  }
  if (rc != 0) {
    const int err = errno;
    ipcLog().error("UnixSocket::ChMod(" + address->path() + ") failed: " + Utils::errorText(err));
    throw KzSystemError("UnixSocket::ChMod(" + address->path() + ")", err);
  }
}

std::shared_ptr<KzSocket> KzUnixSocket::NewChannel() const {
  return std::make_shared<KzUnixSocket>();
}

std::shared_ptr<KzIpcAddress> KzUnixSocket::AddressFrom(const struct sockaddr* addr,
                                                        socklen_t len) const {
  auto address = std::make_shared<KzUnixSocketAddress>();
  const auto* un = reinterpret_cast<const struct sockaddr_un*>(addr);
  const size_t base = offsetof(struct sockaddr_un, sun_path);
  std::string path;
  if (len > base) {
    const size_t max = std::min<size_t>(len - base, sizeof un->sun_path);
    path.assign(un->sun_path, strnlen(un->sun_path, max));
  }
  address->SetPath(path);
  return address;
}

}  // namespace ipc
}  // namespace korza
