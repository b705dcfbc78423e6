#include "ipc/kz_socket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "base/kz_exception.h"
#include "base/log.h"
#include "base/utils.h"

namespace korza {
namespace ipc {

using base::KzDeadline;
using base::KzException;
using base::KzIpcErrorClosed;
using base::KzIpcErrorClosedByPeer;
using base::KzParameterError;
using base::KzSystemError;

namespace {

#ifdef MSG_NOSIGNAL
const int kSendFlags = MSG_NOSIGNAL;
#else
const int kSendFlags = 0;
#endif

// How long IsStalled waits for a listener to take the probe connection.
const KzTimeout kStaleProbeTimeout(500u);

std::string hex(unsigned v) { return Utils::format(16, "%x", v); }

bool debugOn() { return ipcLog().isEnabled(kLogDebug); }

// Closes a descriptor once on scope exit.
class FdCloser {
 public:
  explicit FdCloser(int fd) : fd_(fd) {}
  ~FdCloser() {
    if (fd_ >= 0) close(fd_);
  }
  FdCloser(const FdCloser&) = delete;
  FdCloser& operator=(const FdCloser&) = delete;
  // Closes now; returns the close() result.
  int Close() {
    const int rc = close(fd_);
    fd_ = -1;
    return rc;
  }

 private:
  int fd_;
};

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

bool KzSocket::Send(const std::string& data, const KzTimeout& timeout) {
  size_t length = data.size();
  return Send(data.data(), &length, timeout);
}

bool KzSocket::Receive(std::string* data, const KzTimeout& timeout) {
  size_t length = data->size();
  return Receive(&(*data)[0], &length, timeout);
}

bool KzSocket::Send(const void* data, size_t* length, const KzTimeout& timeout) {
  const char* bytes = static_cast<const char*>(data);
  const size_t total = *length;
  size_t done = 0;
  const KzDeadline deadline(timeout);
  // A non-blocking descriptor tries the transfer first and waits only when
  // it cannot progress; that saves one poll per message.
  bool wait = !non_blocking_;
  while (done < total) {
    if (wait && !IsReady(POLLOUT, deadline.Remaining())) {
      *length = done;
      return false;
    }
    wait = true;
    const ssize_t n = send(handle_, bytes + done, total - done, kSendFlags);
    if (n < 0) {
      const int err = errno;
      if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR) {
        if (debugOn()) ipcLog().debug("Socket::Send to " + Text() + " interrupted, restarted");
        continue;
      }
      if (handle_ < 0) throw KzIpcErrorClosed("Socket::Send for " + Text());
      ipcLog().error("send " + std::to_string(total - done) + " bytes to " + Text() +
                     " failed: " + Utils::errorText(err));
      throw KzSystemError("Socket::Send", err);
    }
    done += static_cast<size_t>(n);
    if (done < total && debugOn()) {
      ipcLog().debug("Socket::Send(" + std::to_string(done) + "/" + std::to_string(total) +
                     ") to " + Text() + " currenlty sent only " + std::to_string(n) + " bytes");
    }
  }
  *length = total;
  return true;
}

bool KzSocket::Receive(void* data, size_t* length, const KzTimeout& timeout) {
  char* bytes = static_cast<char*>(data);
  const size_t total = *length;
  size_t done = 0;
  const KzDeadline deadline(timeout);
  bool wait = !non_blocking_;
  while (done < total) {
    if (wait && !IsReady(POLLIN, deadline.Remaining())) {
      *length = done;
      return false;
    }
    wait = true;
    const ssize_t n = recv(handle_, bytes + done, total - done, 0);
    if (n == 0) {
      ipcLog().error("Socket::Receive(" + std::to_string(done) + "/" + std::to_string(total) +
                     ") from " + Text() + " - connection has been closed by peer");
      *length = done;
      throw KzIpcErrorClosedByPeer("Socket::Receive " + Text());
    }
    if (n < 0) {
      const int err = errno;
      if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR) continue;
      if (handle_ < 0) throw KzIpcErrorClosed("Socket::Receive for " + Text());
      ipcLog().error("rcv " + std::to_string(total - done) + " bytes from " + Text() +
                     " failed: " + Utils::errorText(err));
      throw KzSystemError("Socket::Receive ", err);
    }
    done += static_cast<size_t>(n);
    if (done < total && debugOn()) {
      ipcLog().debug("Socket::Receive(" + std::to_string(done) + "/" + std::to_string(total) +
                     ") from " + Text() + " currenlty received only " + std::to_string(n) +
                     " bytes");
    }
  }
  *length = total;
  return true;
}

bool KzSocket::SendFile(const std::string& path, off_t offset, size_t length,
                        const KzTimeout& timeout) {
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) throw KzSystemError("Socket::SendFile - open file " + path, errno);
  FdCloser closer(fd);
  fcntl(fd, F_SETFD, FD_CLOEXEC);
  const off_t size = lseek(fd, 0, SEEK_END);
  if (size < 0) throw KzSystemError("Socket::SendFile - lseek to end", errno);
  if (lseek(fd, 0, SEEK_SET) < 0) throw KzSystemError("Socket::SendFile - lseek to start", errno);
  if (offset < 0 || static_cast<uint64_t>(offset) + length > static_cast<uint64_t>(size)) {
    throw KzException("Socket::SendFile - a length " + std::to_string(length) +
                      " points beyond file size");
  }
  const bool sent = SendFromFileHandle(fd, offset, length, timeout);
  if (closer.Close() != 0) throw KzSystemError("Socket::SendFile - close file", errno);
  return sent;
}

bool KzSocket::SendFromFileHandle(int fd, off_t offset, size_t length, const KzTimeout& timeout) {
  const std::string where = "Socket::SendFromFileHandle over " + Text() + " failed: ";
  if (fd < 0) throw KzException(where + "an invalid file handle has been passed");
  struct stat st;
  if (fstat(fd, &st) != 0) throw KzSystemError(where + "get file length", errno);
  if (offset < 0 || static_cast<uint64_t>(offset) + length > static_cast<uint64_t>(st.st_size)) {
    throw KzException(where + "a length points beyond file");
  }
  if (length == 0) return true;
  // mmap wants a page-aligned offset; map from the page start.
  const long page = sysconf(_SC_PAGESIZE);
  const off_t start = page > 0 ? offset - offset % page : offset;
  const size_t lead = static_cast<size_t>(offset - start);
  void* map = mmap(nullptr, length + lead, PROT_READ, MAP_SHARED, fd, start);
  if (map == MAP_FAILED) throw KzSystemError(where + "mmap syscall", errno);
  struct Unmapper {
    void* p;
    size_t n;
    ~Unmapper() { munmap(p, n); }
  } unmapper{map, length + lead};
  size_t n = length;
  return Send(static_cast<const char*>(map) + lead, &n, timeout);
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
