#include "ipc/kz_socket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "base/kz_exception.h"
#include "base/log.h"
#include "base/utils.h"
#include "ipc/kz_internal.h"

namespace korza {
namespace ipc {

using base::KzDeadline;
using base::KzException;
using base::KzIpcErrorClosed;
using base::KzIpcErrorClosedByPeer;
using base::KzParameterError;
using base::KzSystemError;

namespace {

using internal::debugOn;
using internal::hex;

}  // namespace

KzSocket::~KzSocket() {
  if (handle_ >= 0) close(handle_);
}

void KzSocket::SetLocalAddress(const std::shared_ptr<KzIpcAddress>& address) {
  local_ = address;
  listening_ = local_ && !remote_;
}

void KzSocket::SetRemoteAddress(const std::shared_ptr<KzIpcAddress>& address) {
  remote_ = address;
  listening_ = local_ && !remote_;
}

std::string KzSocket::Text() const {
  std::string text = listening_ ? "a listening connection (fd->" : "connection (fd->";
  text += handle_ >= 0 ? std::to_string(handle_) : std::string("invalid");
  if (local_) text += ", local->" + local_->GetSpec();
  if (remote_) text += (accepted_ ? ", client->" : ", server->") + remote_->GetSpec();
  // A client chooses the path its socket is bound to: never let it shape a
  // log line.
  return Utils::printable(text + ")");
}

void KzSocket::OpenHandle(int family, const std::string& what) {
  if (handle_ >= 0) return;
  const int fd = socket(family, SOCK_STREAM, 0);
  if (fd < 0) {
    const int err = errno;
    ipcLog().error(what + " failed: " + Utils::errorText(err));
    throw KzSystemError(what, err);
  }
  fcntl(fd, F_SETFD, FD_CLOEXEC);
  handle_ = fd;
#ifdef SO_NOSIGPIPE
  SetOption(SO_NOSIGPIPE, 1, "NOSIGPIPE");
#endif
  ApplyOptions();
}

void KzSocket::ApplyOptions() {
  if (handle_ < 0) throw KzException("Socket::ApplyOptions - handle is invalid");
  SetOption(SO_REUSEADDR, 1, "REUSEADDR");
  if (non_blocking_) SetFlag(O_NONBLOCK);
}

void KzSocket::SetOption(int option, int value, const std::string& name) {
  if (setsockopt(handle_, SOL_SOCKET, option, &value, sizeof value) != 0) {
    const int err = errno;
    ipcLog().error("Socket::SetOption(" + name + ") setsockopt failed: " + Utils::errorText(err));
    throw KzSystemError("Socket::SetOption(" + name + ") setsockopt", err);
  }
}

void KzSocket::SetFlag(int flag) {
  const int flags = fcntl(handle_, F_GETFL);
  if (flags < 0)
    throw KzSystemError("Socket::SetFlag(" + std::to_string(flag) + ") get flags", errno);
  if (fcntl(handle_, F_SETFL, flags | flag) < 0) {
    throw KzSystemError("Socket::SetFlag(" + std::to_string(flag) + ") set flags", errno);
  }
}

void KzSocket::ClearFlag(int flag) {
  const int flags = fcntl(handle_, F_GETFL);
  if (flags < 0) {
    throw KzSystemError("Socket::ClearFlag(" + std::to_string(flag) + ") get flags", errno);
  }
  if (fcntl(handle_, F_SETFL, flags & ~flag) < 0) {
    throw KzSystemError("Socket::ClearFlag(" + std::to_string(flag) + ") set flags", errno);
  }
}

bool KzSocket::IsReady(short events, const KzTimeout& timeout) {
  if (handle_ < 0) throw KzIpcErrorClosed("Socket::IsReady for " + Text());
  const KzDeadline deadline(timeout);
  struct pollfd p;
  for (;;) {
    p.fd = handle_;
    p.events = events;
    p.revents = 0;
    const int n = poll(&p, 1, deadline.Remaining().PollMs());
    if (n > 0) break;
    if (n == 0) return false;
    const int err = errno;
    if (err != EINTR) throw KzSystemError("IsReady - abnormal polling method termination", err);
    if (debugOn()) {
      ipcLog().debug("IsReady(0x" + hex(static_cast<unsigned short>(events)) + ") for " + Text() +
                     " is interrupted, restarted");
    }
  }
  const short re = p.revents;
  if (debugOn()) {
    ipcLog().debug("poll return 0x" + hex(static_cast<unsigned short>(re)) + " for " + Text());
  }
  if (re & POLLNVAL) throw KzIpcErrorClosed("Socket::IsReady for " + Text());
  if ((re & events) && !(re & POLLERR)) return true;
  if (re & POLLHUP) throw KzIpcErrorClosedByPeer("Socket::IsReady for " + Text());
  if (re & POLLERR) throw KzIpcErrorClosed("Socket::IsReady for " + Text());
  return true;
}

bool KzSocket::Connect(const KzTimeout& timeout) {
  if (!remote_ || remote_->GetDomain() == KzIpcAddress::kInvalid) {
    ipcLog().error("Socket::Connect failed because cannot get remote address");
    throw KzException("Socket::Connect failed because cannot get remote address");
  }
  if (handle_ < 0) Create();
  const KzDeadline deadline(timeout);
  for (;;) {
    if (connect(handle_, remote_->SockAddr(), remote_->SockAddrLen()) == 0) break;
    const int err = errno;
    if (err == EINPROGRESS || err == EINTR || err == EALREADY) {
      // The connection goes on in the background; wait for its outcome.
      struct pollfd p;
      int n;
      do {
        p.fd = handle_;
        p.events = POLLOUT;
        p.revents = 0;
        n = poll(&p, 1, deadline.Remaining().PollMs());
      } while (n < 0 && errno == EINTR);
      if (n < 0) throw KzSystemError("IsReady - abnormal polling method termination", errno);
      if (n == 0) {
        ipcLog().error("Socket::Connect is failed in IsReady(POLLOUT)");
        return false;
      }
      int so_error = 0;
      socklen_t len = sizeof so_error;
      if (getsockopt(handle_, SOL_SOCKET, SO_ERROR, &so_error, &len) != 0) so_error = errno;
      if (so_error != 0) throw KzSystemError("Socket::Connect to " + Text(), so_error);
      break;
    }
    if (err == EAGAIN) {
      // A Unix listener with a full backlog; try again shortly.
      const KzTimeout left = deadline.Remaining();
      if (left.ms() == 0) {
        ipcLog().error("Socket::Connect is failed in IsReady(POLLOUT)");
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(std::min<uint32_t>(left.ms(), 10)));
      continue;
    }
    throw KzSystemError("Socket::Connect to " + Text(), err);
  }
  if (debugOn()) ipcLog().debug("Socket::Connect done for " + Text());
  return true;
}

void KzSocket::Listen(int backlog) {
  if (listen(handle_, backlog) != 0) {
    const int err = errno;
    ipcLog().error("Socket::Listen: listen error for " + Text() + ": " + Utils::errorText(err));
    throw KzSystemError("Socket::Listen: listen error for " + Text(), err);
  }
}

std::shared_ptr<KzIfIPC> KzSocket::Accept(const KzTimeout& timeout) {
  const KzDeadline deadline(timeout);
  for (;;) {
    if (!IsReady(POLLIN, deadline.Remaining())) return nullptr;
    struct sockaddr_storage ss;
    socklen_t len = sizeof ss;
    const int fd = accept(handle_, reinterpret_cast<struct sockaddr*>(&ss), &len);
    if (fd < 0) {
      const int err = errno;
      if (err == EINTR) {
        if (debugOn()) ipcLog().debug("Socket::Accept for " + Text() + " interrupted, restarted");
        continue;
      }
      // The client went away between poll and accept, or another thread
      // took it: wait again.
      if (err == EAGAIN || err == EWOULDBLOCK || err == ECONNABORTED) continue;
      // Running out of descriptors or memory repeats until they are freed;
      // the caller reports it once.
      const bool transient = err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
      if (!transient) ipcLog().error("accept at " + Text() + " failed: " + Utils::errorText(err));
      throw KzSystemError("accept at " + Text(), err);
    }
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    std::shared_ptr<KzSocket> channel = NewChannel();
    channel->handle_ = fd;
    channel->accepted_ = true;
    channel->non_blocking_ = non_blocking_;
#ifdef SO_NOSIGPIPE
    channel->SetOption(SO_NOSIGPIPE, 1, "NOSIGPIPE");
#endif
    channel->ApplyOptions();
    channel->local_ = channel->GetLocalSocketAddress();
    if (!channel->local_) {
      ipcLog().error("Socket::Accept failed because cannot get local address");
      throw KzException("Socket::Accept failed because cannot get local address");
    }
    channel->remote_ = AddressFrom(reinterpret_cast<struct sockaddr*>(&ss), len);
    return channel;
  }
}

void KzSocket::Close() {
  if (handle_ < 0) return;
  const int fd = handle_;
  handle_ = -1;
  if (close(fd) != 0 && errno == EBADF) {
    ipcLog().error("close for " + Text() + ": bad file descriptor");
  }
}

std::shared_ptr<KzIpcAddress> KzSocket::GetLocalSocketAddress() const {
  if (handle_ < 0) throw KzException("GetLocalSocketAddress: handle is invalid");
  struct sockaddr_storage ss;
  socklen_t len = sizeof ss;
  if (getsockname(handle_, reinterpret_cast<struct sockaddr*>(&ss), &len) != 0) {
    throw KzException("GetLocalSocketAddress: cannot get local name: " + Utils::errorText(errno));
  }
  return AddressFrom(reinterpret_cast<struct sockaddr*>(&ss), len);
}

std::shared_ptr<KzIpcAddress> KzSocket::GetRemoteSocketAddress() const {
  if (handle_ < 0) throw KzException("GetRemoteSocketAddress: handle is invalid");
  struct sockaddr_storage ss;
  socklen_t len = sizeof ss;
  if (getpeername(handle_, reinterpret_cast<struct sockaddr*>(&ss), &len) != 0) {
    const int err = errno;
    if (err == ENOTCONN) {
      throw KzException(
          "GetRemoteSocketAddress: can`t get remote name because socket does not connected");
    }
    throw KzException("GetRemoteSocketAddress: cannot get remote name: " + Utils::errorText(err));
  }
  return AddressFrom(reinterpret_cast<struct sockaddr*>(&ss), len);
}

std::shared_ptr<KzSocket> KzSocket::Dup() const {
  const int fd = fcntl(handle_, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) throw KzException("Socket::Dup failed because " + Utils::errorText(errno));
  std::shared_ptr<KzSocket> copy = NewChannel();
  copy->handle_ = fd;
  copy->non_blocking_ = non_blocking_;
  copy->listening_ = listening_;
  copy->accepted_ = accepted_;
  if (local_) copy->local_ = local_->Clone();
  if (remote_) copy->remote_ = remote_->Clone();
  return copy;
}

// TCP sockets.

void KzInetSocket::Create() {
  const KzIpcAddress* address = listening_ ? local_.get() : remote_.get();
  if (address == nullptr || address->GetDomain() == KzIpcAddress::kInvalid) {
    throw KzParameterError("InetSocket::Create", "address", "null");
  }
  OpenHandle(address->SockAddr()->sa_family, "InetSocket::Create: inet create");
  if (!local_) return;
  if (local_->GetDomain() == KzIpcAddress::kInvalid) {
    throw KzParameterError("InetSocket::Create", "local address", "null");
  }
  SetOption(SO_REUSEADDR, 1, "REUSEADDR");
  if (bind(handle_, local_->SockAddr(), local_->SockAddrLen()) != 0) {
    const int err = errno;
    ipcLog().error("InetSocket::Bind " + Text() + ": inet create failed: " + Utils::errorText(err));
    throw KzSystemError("inet create", err);
  }
}

std::shared_ptr<KzSocket> KzInetSocket::NewChannel() const {
  return std::make_shared<KzInetSocket>();
}

std::shared_ptr<KzIpcAddress> KzInetSocket::AddressFrom(const struct sockaddr* addr,
                                                        socklen_t len) const {
  auto address = std::make_shared<KzInetSocketAddress>();
  address->SetEndpoint(addr, len);
  return address;
}

}  // namespace ipc
}  // namespace korza
