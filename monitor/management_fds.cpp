#include "monitor/management_fds.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <string>

#include "base/log.h"
#include "base/utils.h"

using korza::monitorLog;

std::vector<int> collectClosedDescriptors(const std::vector<int>& fds, int timeout_ms,
                                          int wake_fd) {
  std::vector<int> closed;
  std::vector<struct pollfd> polled;
  polled.reserve(fds.size() + 1);
  for (int fd : fds) {
    if (fd > 0) polled.push_back(pollfd{fd, POLLIN, 0});
  }
  if (wake_fd >= 0) polled.push_back(pollfd{wake_fd, POLLIN, 0});
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  int ready;
  for (;;) {
    int left = 0;
    if (timeout_ms > 0) {
      auto rest = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      left = rest.count() > 0 ? static_cast<int>(rest.count()) : 0;
    }
    ready = poll(polled.data(), static_cast<nfds_t>(polled.size()), left);
    if (ready >= 0 || errno != EINTR) break;
  }
  if (ready < 0) {
    monitorLog().error("poll() error: " + Utils::errorText(errno));
    return closed;
  }
  if (ready == 0) return closed;
  for (const auto& p : polled) {
    if (p.fd == wake_fd) {
      char drain[64];
      while (read(wake_fd, drain, sizeof drain) > 0) {
      }
      continue;
    }
    if ((p.revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
      if (p.revents & POLLNVAL) {
        monitorLog().debug("error reading from management descriptor " + std::to_string(p.fd) +
                           ": " + Utils::errorText(EBADF));
      }
      continue;
    }
    char buf[512];
    ssize_t n;
    do n = read(p.fd, buf, sizeof buf - 1);
    while (n < 0 && errno == EINTR);
    if (n == 0) {
      closed.push_back(p.fd);
    } else if (n < 0) {
      monitorLog().debug("error reading from management descriptor " + std::to_string(p.fd) + ": " +
                         Utils::errorText(errno));
    } else {
      monitorLog().debug("error data in management descriptor " + std::to_string(p.fd) + ": " +
                         std::string(buf, static_cast<size_t>(n)));
    }
  }
  return closed;
}

namespace {

// A non-blocking, close-on-exec pipe; both ends -1 when it cannot be made
// (logged: the loop then wakes only for descriptors and deadlines).
void makeWakePipe(int ends[2]) {
  if (pipe(ends) != 0) {
    monitorLog().error("cannot create the wake pipe: " + Utils::errorText(errno));
    ends[0] = ends[1] = -1;
    return;
  }
  for (int i = 0; i < 2; ++i) {
    fcntl(ends[i], F_SETFD, FD_CLOEXEC);
    fcntl(ends[i], F_SETFL, fcntl(ends[i], F_GETFL) | O_NONBLOCK);
  }
}

std::unique_ptr<korza::EventPoller> makePoller(bool portable) {
  try {
    return std::make_unique<korza::EventPoller>(portable);
  } catch (const std::runtime_error& e) {
    monitorLog().error(e.what());
    return std::make_unique<korza::EventPoller>(true);
  }
}

}  // namespace

ManagementFds::ManagementFds(bool portable) : poller_(makePoller(portable)) {
  makeWakePipe(wake_);
  if (wake_[0] >= 0 && !poller_->add(wake_[0])) {
    monitorLog().error("cannot watch the wake pipe: " + Utils::errorText(errno));
  }
}

ManagementFds::~ManagementFds() {
  for (int end : wake_) {
    if (end >= 0) close(end);
  }
}

void ManagementFds::fdOpened(int fd) {
  ++changes_;
  if (poller_->add(fd)) return;
  monitorLog().error("cannot watch management descriptor " + std::to_string(fd) + ": " +
                     Utils::errorText(errno));
  unwatched_.push_back(fd);
}

void ManagementFds::fdClosing(int fd) {
  ++changes_;
  poller_->remove(fd);
  unwatched_.erase(std::remove(unwatched_.begin(), unwatched_.end(), fd), unwatched_.end());
}

void ManagementFds::wake() {
  if (wake_[1] < 0) return;
  const char byte = 0;
  ssize_t n;
  // EAGAIN: the pipe is full, so a wake-up is pending anyway.
  do n = write(wake_[1], &byte, 1);
  while (n < 0 && errno == EINTR);
}

std::vector<int> ManagementFds::wait(int timeout_ms, bool drain) {
  if (!unwatched_.empty() && (timeout_ms < 0 || timeout_ms > 1000)) timeout_ms = 1000;
  std::vector<int> ready;
  if (poller_->wait(timeout_ms, ready) < 0 && errno != EINTR) {
    monitorLog().error("event wait error: " + Utils::errorText(errno));
  }
  const auto woken = std::find(ready.begin(), ready.end(), wake_[0]);
  if (woken != ready.end()) {
    ready.erase(woken);
    if (drain) {
      char buf[64];
      while (read(wake_[0], buf, sizeof buf) > 0) {
      }
    }
  }
  ready.insert(ready.end(), unwatched_.begin(), unwatched_.end());
  if (ready.empty()) return ready;
  // Each one is looked at again before it is read: a read must never block
  // the loop, whatever the event mechanism reported.
  return collectClosedDescriptors(ready, 0);
}
