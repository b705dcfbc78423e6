#include "apps/io.h"

#include <sys/select.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>

#include "base/utils.h"

namespace IO {

void wait_for_read(int fd, long long& budget_us) {
  const auto begin = std::chrono::steady_clock::now();
  int rc;
  do {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    struct timeval tv;
    tv.tv_sec = static_cast<time_t>(budget_us / 1000000);
    tv.tv_usec = static_cast<suseconds_t>(budget_us % 1000000);
    rc = select(fd + 1, &set, nullptr, nullptr, &tv);
  } while (rc < 0 && errno == EINTR);
  const int err = errno;
  const long long spent = std::chrono::duration_cast<std::chrono::microseconds>(
                              std::chrono::steady_clock::now() - begin)
                              .count();
  budget_us = (rc == 0 || spent >= budget_us) ? 0 : budget_us - spent;
  if (rc < 0) throw Error("error in select(): " + Utils::errorText(err));
  if (rc == 0) throw TimeoutException("timeout");
}

bool readLine(int fd, long long& budget_us, std::string& line) {
  for (;;) {
    wait_for_read(fd, budget_us);
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
