#include "base/child_wait.h"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <thread>

#if defined(__linux__)
#include <sys/syscall.h>
#elif defined(__FreeBSD__)
#include <sys/event.h>
#include <sys/time.h>
#endif

#include "base/utils.h"

namespace Utils {

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool> g_force_backoff{false};

// Time left until `deadline`, never negative.
std::chrono::microseconds leftUs(Clock::time_point deadline) {
  const auto rest = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
  return rest.count() > 0 ? rest : std::chrono::microseconds(0);
}

// Milliseconds left until `deadline`, rounded up so that a wait never ends
// before it; 0 once it has passed; -1 without a deadline.
int leftMs(bool limited, Clock::time_point deadline) {
  if (!limited) return -1;
  return static_cast<int>((leftUs(deadline).count() + 999) / 1000);
}

// True when the child was reaped, false while it runs (throws on failure).
bool reaped(pid_t pid, int* status) { return waitPid(pid, status, WNOHANG) == pid; }

// Sleeps until the child may have ended: 1 woken by its end, 0 at the
// deadline, -1 when no event source could be set up (use the fallback).
int sleepUntilEnd(pid_t pid, bool limited, Clock::time_point deadline) {
  if (g_force_backoff) return -1;
#if defined(__linux__) && defined(SYS_pidfd_open)
  const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (fd < 0) return -1;
  int result = 0;
  for (;;) {
    struct pollfd p = {fd, POLLIN, 0};
    const int rc = poll(&p, 1, leftMs(limited, deadline));
    if (rc > 0) {
      result = 1;
      break;
    }
    if (rc == 0) break;
    if (errno != EINTR) {
      result = -1;
      break;
    }
  }
  close(fd);
  return result;
#elif defined(__FreeBSD__)
  const int kq = kqueue();
  if (kq < 0) return -1;
  struct kevent change;
  EV_SET(&change, pid, EVFILT_PROC, EV_ADD | EV_ONESHOT, NOTE_EXIT, 0, nullptr);
  int result = 0;
  bool registered = false;
  for (;;) {
    struct kevent event;
    const int left = leftMs(limited, deadline);
    struct timespec ts = {left / 1000, static_cast<long>(left % 1000) * 1000000L};
    const int rc = kevent(kq, registered ? nullptr : &change, registered ? 0 : 1, &event, 1,
                          left < 0 ? nullptr : &ts);
    if (rc < 0) {
      if (errno == EINTR) {
        // The change list is applied before the wait can be interrupted.
        registered = true;
        continue;
      }
      // ESRCH: the child has already ended (a zombie cannot be watched).
      result = errno == ESRCH ? 1 : -1;
      break;
    }
    registered = true;
    if (rc == 0) break;
    if ((event.flags & EV_ERROR) != 0) {
      result = event.data == ESRCH ? 1 : -1;
      break;
    }
    result = 1;
    break;
  }
  close(kq);
  return result;
#else
  (void)pid;
  (void)limited;
  (void)deadline;
  return -1;
#endif
}

}  // namespace

bool waitChild(pid_t pid, int* status, int timeout_ms) {
  if (reaped(pid, status)) return true;
  if (timeout_ms == 0) return false;
  const bool limited = timeout_ms > 0;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  const int woken = sleepUntilEnd(pid, limited, deadline);
  if (woken >= 0) {
    if (reaped(pid, status)) return true;
    if (woken == 0) return false;
  }
  // Back-off loop: no event source, or an event that came before the
  // child was reapable.
  auto pause = std::chrono::microseconds(500);
  for (;;) {
    auto step = pause;
    if (limited) {
      const auto left = leftUs(deadline);
      if (left.count() == 0) return reaped(pid, status);
      if (left < step) step = left;
    }
    std::this_thread::sleep_for(step);
    if (reaped(pid, status)) return true;
    if (pause < std::chrono::milliseconds(20)) pause *= 2;
  }
}

void TEST_forceBackoff(bool on) { g_force_backoff = on; }

int killGroup(pid_t pid, int signo) {
  if (pid > 0 && ::kill(-pid, signo) == 0) return 0;
  return ::kill(pid, signo);
}

}  // namespace Utils
