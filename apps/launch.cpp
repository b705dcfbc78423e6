#include "apps/launch.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace {

// Moves a new pipe end above the standard descriptors (so that the child's
// redirections cannot clobber it) and marks it close-on-exec, so that no
// other child forked meanwhile holds the write end open.
int prepareEnd(int end) {
  if (end <= 2) {
    const int moved = fcntl(end, F_DUPFD, 3);
    if (moved < 0) return -1;
    close(end);
    end = moved;
  }
  if (fcntl(end, F_SETFD, FD_CLOEXEC) < 0) {
    close(end);
    return -1;
  }
  return end;
}

}  // namespace

bool Launch::makePipe(int ends[2]) {
  int raw[2];
  if (pipe(raw) < 0) return false;
  ends[0] = prepareEnd(raw[0]);
  ends[1] = prepareEnd(raw[1]);
  if (ends[0] < 0 || ends[1] < 0) {
    if (ends[0] >= 0) close(ends[0]);
    if (ends[1] >= 0) close(ends[1]);
    return false;
  }
  return true;
}

namespace {

using Launch::ChildPlan;

// --- Everything below up to the end of runChild runs in the forked child:
// async-signal-safe calls only, no allocation, no locks.

int g_report_fd = -1;  // the child's launch-report pipe (set in the child only)

// Writes the message, a NUL and the error number in decimal to the report
// pipe (the parent turns the number into its text and logs the line), then
// the single byte "E" as the answer, and ends the child.
[[noreturn]] void childFail(int out, const char* message, int err, int code) {
  char buf[512];
  size_t n = 0;
  for (const char* p = message; *p != '\0' && n < sizeof(buf) - 16; ++p) buf[n++] = *p;
  buf[n++] = '\0';
  char digits[12];
  size_t d = 0;
  unsigned value = err < 0 ? 0u : static_cast<unsigned>(err);
  do {
    digits[d++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0 && d < sizeof(digits));
  while (d > 0) buf[n++] = digits[--d];
  ssize_t w;
  do {
    w = write(g_report_fd, buf, n);
  } while (w < 0 && errno == EINTR);
  do {
    w = write(out, "E", 1);
  } while (w < 0 && errno == EINTR);
  _exit(code);
}

// Closes [low, high]; nothing when the range is empty.
void closeRange(long low, long high) {
  if (low > high) return;
#if defined(__linux__) && defined(__GLIBC__) && \
    (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  const unsigned top = high > 0x7fffffffL ? ~0u : static_cast<unsigned>(high);
  if (close_range(static_cast<unsigned>(low), top, 0) == 0) return;
#elif defined(__FreeBSD__)
  if (high >= 0x7fffffffL) {
    closefrom(static_cast<int>(low));
    return;
  }
#endif
  const long cap = high > (1L << 20) ? (1L << 20) : high;
  for (long fd = low; fd <= cap; ++fd) close(static_cast<int>(fd));
}

[[noreturn]] void runChild(const ChildPlan& plan) {
  int answer = plan.answerWrite;
  g_report_fd = plan.reportWrite;

  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
    childFail(answer, "cannot get system limits", errno, 1);

  const int null_fd = open("/dev/null", O_RDONLY);
  if (null_fd < 0) childFail(answer, "cannot redirect std streams to /dev/null", errno, 1);
  for (int target = 0; target <= 2; ++target) {
    if (target != null_fd && dup2(null_fd, target) < 0)
      childFail(answer, "cannot redirect std streams to /dev/null", errno, 1);
  }
  if (null_fd > 2) close(null_fd);

  long soft = limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > 0x7fffffffUL
                  ? 0x7fffffffL
                  : static_cast<long>(limit.rlim_cur);
  // Keep the pipe ends (sorted), close everything else from 3 up.
  long keep[3] = {plan.answerWrite, plan.errWrite < 0 ? plan.answerWrite : plan.errWrite,
                  plan.reportWrite};
  for (int i = 0; i < 3; ++i) {
    for (int j = i + 1; j < 3; ++j) {
      if (keep[j] < keep[i]) {
        const long t = keep[i];
        keep[i] = keep[j];
        keep[j] = t;
      }
    }
  }
  long next = 3;
  for (long k : keep) {
    closeRange(next, k - 1);
    if (k + 1 > next) next = k + 1;
  }
  closeRange(next, soft - 1);

  if (dup2(plan.answerWrite, 1) < 0) childFail(answer, "dup2() error", errno, 1);
  close(plan.answerWrite);
  answer = 1;
  if (plan.errWrite >= 0) {
    if (dup2(plan.errWrite, 2) < 0) childFail(answer, "dup2() error", errno, 1);
    close(plan.errWrite);
  }

  sigset_t set;
  if (sigemptyset(&set) != 0) childFail(answer, "sigaddset() error", errno, 2);
  const int kSignals[] = {SIGHUP, SIGTERM, SIGINT, SIGPIPE, SIGCHLD, SIGTTOU, SIGTTIN};
  for (int signo : kSignals) {
    if (sigaddset(&set, signo) != 0) childFail(answer, "sigaddset() error", errno, 2);
  }
  if (sigprocmask(SIG_UNBLOCK, &set, nullptr) != 0)
    childFail(answer, "sigprocmask() error", errno, 2);

  switch (Utils::applyAccount(*plan.account)) {
    case 1:
      childFail(answer, plan.groupsMessage, errno, 3);
    case 2:
      childFail(answer, plan.groupMessage, errno, 3);
    case 3:
      childFail(answer, plan.userMessage, errno, 4);
    default:
      break;
  }
  if (setsid() < 0) childFail(answer, "setsid() error", errno, 7);

  execv(plan.path, plan.args);
  childFail(answer, plan.execMessage, errno, 5);
}

// --- End of the child's code.

}  // namespace

pid_t Launch::spawn(const ChildPlan& plan) {
  const pid_t forked = fork();
  if (forked == 0) runChild(plan);
  return forked;
}
