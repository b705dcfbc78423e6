// Sending and receiving over a socket channel: whole buffers within a
// time-out, and files sent from a mapping of their pages.
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/kz_exception.h"
#include "base/log.h"
#include "base/utils.h"
#include "ipc/kz_internal.h"
#include "ipc/kz_socket.h"

namespace korza {
namespace ipc {

using base::KzDeadline;
using base::KzException;
using base::KzIpcErrorClosed;
using base::KzIpcErrorClosedByPeer;
using base::KzSystemError;

namespace {

using internal::debugOn;

using internal::kSendFlags;

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

}  // namespace ipc
}  // namespace korza
