#include "apps/io.h"

#include <sys/select.h>
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
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    int top = fd;
    const bool draining = drain != nullptr && *drain >= 0;
    if (draining) {
      FD_SET(*drain, &set);
      if (*drain > top) top = *drain;
    }
    struct timeval tv;
    const long long wait_us = left > 0 ? left : 0;
    tv.tv_sec = static_cast<time_t>(wait_us / 1000000);
    tv.tv_usec = static_cast<suseconds_t>(wait_us % 1000000);
    rc = select(top + 1, &set, nullptr, nullptr, &tv);
    if (rc < 0 && errno == EINTR) continue;
    if (rc > 0 && draining && FD_ISSET(*drain, &set)) {
      // The other pipe is read and dropped, so that a child writing much
      // there never blocks before it writes what is waited for here.
      char buf[4096];
      ssize_t n;
      do {
        n = read(*drain, buf, sizeof buf);
      } while (n < 0 && errno == EINTR);
      if (n <= 0) *drain = -1;
      if (!FD_ISSET(fd, &set)) {
        if (spentUs() < budget) continue;
        rc = 0;
      }
    }
    break;
  }
  const int err = errno;
  const long long spent = spentUs();
  budget_us = (rc == 0 || spent >= budget) ? 0 : budget - spent;
  if (rc < 0) throw Error("error in select(): " + Utils::errorText(err));
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
