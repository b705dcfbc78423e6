#include "base/kz_control.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "base/kz_exception.h"
#include "base/log.h"
#include "base/utils.h"

namespace korza {
namespace base {

namespace {

std::string hex(uint32_t v) { return Utils::format(16, "%x", v); }

}  // namespace

KzControl::KzControl(const std::string& name) : name_(name) {
  int fds[2];
  if (pipe(fds) != 0) {
    const int err = errno;
    ipcLog().fatal("KzControl(" + name_ + ")::ctor - cannot create control pipe - " +
                   Utils::errorText(err));
    throw KzSystemError("KzControl(" + name_ + ")::ctor - cannot create pipe", err);
  }
  read_fd_ = fds[0];
  write_fd_ = fds[1];
  fcntl(read_fd_, F_SETFD, FD_CLOEXEC);
  fcntl(write_fd_, F_SETFD, FD_CLOEXEC);
}

KzControl::~KzControl() {
  for (int fd : {read_fd_, write_fd_}) {
    if (close(fd) != 0) {
      ipcLog().error("KzControl(" + name_ + ")::dtor - cannot delete control pipe - " +
                     Utils::errorText(errno));
    }
  }
}

void KzControl::Send(uint32_t command) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (std::find(queue_.begin(), queue_.end(), command) != queue_.end()) {
    ipcLog().debug("KzControl(" + name_ + "): skip sending 0x" + hex(command) +
                   ": already in queue");
    return;
  }
  const char byte = 1;
  ssize_t n;
  do {
    n = write(write_fd_, &byte, 1);
  } while (n < 0 && (errno == EINTR || errno == EAGAIN));
  if (n != 1) {
    const int err = n < 0 ? errno : EIO;
    ipcLog().error("KzControl(" + name_ + "): - can`t write command to control pipe - " +
                   Utils::errorText(err));
    throw KzSystemError("KzControl(" + name_ + "): - can`t write command to control pipe", err);
  }
  queue_.push_back(command);
  ipcLog().debug("KzControl(" + name_ + "): set cmd to 0x" + hex(command));
}

uint32_t KzControl::Read() {
  std::lock_guard<std::mutex> lock(mutex_);
  ipcLog().debug("KzControl: read command...");
  if (queue_.empty()) {
    throw KzThreadCanceled("KzPersistentPoolManager::Maintain terminate by emty queue");
  }
  char byte;
  ssize_t n;
  do {
    n = read(read_fd_, &byte, 1);
  } while (n < 0 && (errno == EINTR || errno == EAGAIN));
  if (n != 1) {
    const int err = n < 0 ? errno : EPIPE;
    ipcLog().error("KzControl(" + name_ + "): - can`t read command to control pipe - " +
                   Utils::errorText(err));
    throw KzSystemError("KzControl(" + name_ + "): - can`t read command to control pipe", err);
  }
  const uint32_t command = queue_.front();
  queue_.pop_front();
  ipcLog().debug("KzControl(" + name_ + "): got cmd = 0x" + hex(command));
  return command;
}

void KzControl::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  ipcLog().debug("KzControl(" + name_ + "): clear...");
  // Drain the wake-up bytes too, so the read end does not stay readable
  // with nothing queued.
  while (!queue_.empty()) {
    char byte;
    ssize_t n;
    do {
      n = read(read_fd_, &byte, 1);
    } while (n < 0 && errno == EINTR);
    if (n != 1) break;
    queue_.pop_front();
  }
  queue_.clear();
}

size_t KzControl::queued() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return queue_.size();
}

}  // namespace base
}  // namespace korza
