#include "apps/io.h"

#include <poll.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>

#include "apps/component.h"
#include "base/flags.h"
#include "base/log.h"
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

namespace {

using korza::monitorLog;

void writeErr(const std::string& text) {
  fputs(text.c_str(), stderr);
  fflush(stderr);
}

}  // namespace

void Component::startCheckOnly(const CompStrategy& strategy, const std::string& app_path) {
  monitorLog().debug("Component::startCheckOnly() " + name);
  int answer_fd = -1;
  int err_fd = 0;
  pid_t child = -1;
  __start(strategy, app_path, answer_fd, err_fd, child);

  writeErr("checking \"" + name + "\" component: ");
  long long budget_us = static_cast<long long>(timeStart) * 1000000;
  // The child's standard error (check-all mode) is drained while the
  // report is read.
  int drain = errFd;
  try {
    std::string line;
    bool more = IO::readLine(answer_fd, budget_us, line, &drain);
    if (line.compare(0, 10, "Options OK") == 0) {
      writeErr("OK\n");
    } else {
      conf_warning_issued = true;
      bool printed = false;
      auto printLine = [&]() {
        if (line.empty()) return;
        if (!printed) writeErr("\n");
        printed = true;
        writeErr("    " + line + "\n");
        line.clear();
      };
      do {
        printLine();
        more = IO::readLine(answer_fd, budget_us, line, &drain);
      } while (more);
      printLine();
      if (!printed) checkEarlyDeath(answer_fd);
    }
  } catch (const IO::TimeoutException&) {
    writeErr("timeout (" + std::to_string(timeStart) + " sec) expired\n");
    conf_warning_issued = true;
  } catch (const IO::Error& e) {
    writeErr(std::string(" executing error: ") + e.what() + "\n");
    conf_warning_issued = true;
  } catch (const std::exception& e) {
    writeErr(std::string(e.what()) + "\n");
    conf_warning_issued = true;
  }
  // The report is all we read; the child is reaped when the component is
  // stopped.
  if (answer_fd >= 0) close(answer_fd);
  logLaunchReport();
}
