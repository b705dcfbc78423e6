#include "apps/io.h"

#include <poll.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>

#include "base/utils.h"

namespace IO {

void wait_for_read(int fd, long long& budget_us, int* drain) {
  const auto begin = std::chrono::steady_clock::now();
  const auto spentUs = [&] {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                                 begin)
        .count();
  };
  const long long budget = budget_us;
  int rc;
  for (;;) {
    const long long left = budget - spentUs();
    struct pollfd polled[2] = {{fd, POLLIN, 0}, {-1, POLLIN, 0}};
    const bool draining = drain != nullptr && *drain >= 0;
    if (draining) polled[1].fd = *drain;
    // Rounded up to whole milliseconds, so a wait never ends early.
    const long long wait_ms = left > 0 ? (left + 999) / 1000 : 0;
    rc = poll(polled, draining ? 2 : 1,
              static_cast<int>(wait_ms > 0x7fffffffLL ? 0x7fffffffLL : wait_ms));
    if (rc < 0 && errno == EINTR) continue;
    if (rc > 0 && (polled[0].revents & POLLNVAL) != 0) {
      errno = EBADF;
      rc = -1;
      break;
    }
    const bool ready = rc > 0 && polled[0].revents != 0;
    if (rc > 0 && draining && polled[1].revents != 0) {
      // The other pipe is read and dropped, so that a child writing much
      // there never blocks before it writes what is waited for here.
      char buf[4096];
      ssize_t n;
      do {
        n = read(*drain, buf, sizeof buf);
      } while (n < 0 && errno == EINTR);
      if (n <= 0) *drain = -1;
      if (!ready) {
        if (spentUs() < budget) continue;
        rc = 0;
      }
    }
    break;
  }
  const int err = errno;
  const long long spent = spentUs();
  budget_us = (rc == 0 || spent >= budget) ? 0 : budget - spent;
  if (rc < 0) throw Error("error in poll(): " + Utils::errorText(err));
  if (rc == 0) throw TimeoutException("timeout");
}

bool readLine(int fd, long long& budget_us, std::string& line, int* drain) {
  for (;;) {
    wait_for_read(fd, budget_us, drain);
    unsigned char c;
    ssize_t n;
    do {
      n = read(fd, &c, 1);
    } while (n < 0 && errno == EINTR);
    if (n < 0) throw std::runtime_error("IO::readLine: read error: " + Utils::errorText(errno));
    if (n == 0) return false;
    if (c == '\n') return true;
    if (iscntrl(c)) return false;
    line.push_back(static_cast<char>(c));
  }
}

}  // namespace IO
