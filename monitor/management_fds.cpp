#include "monitor/management_fds.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
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
