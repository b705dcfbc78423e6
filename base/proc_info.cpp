#include "base/proc_info.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(__FreeBSD__)
#include <sys/param.h>
#include <sys/proc.h>
#include <sys/sysctl.h>
#include <sys/user.h>
#endif
#if defined(__APPLE__)
#include <climits>
#endif

namespace Utils {

namespace {

// RLIM_INFINITY: nothing recorded. Lock-free, so a forked child reads it.
std::atomic<rlim_t> g_child_nofile{RLIM_INFINITY};

}  // namespace

#if defined(__linux__)
uint64_t processStartTime(pid_t pid) {
  if (pid < 1) return 0;
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  int fd;
  do fd = open(path, O_RDONLY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return 0;
  // The command name (field 2) is in parentheses and may hold anything,
  // blanks and parentheses included: the fields are counted from the last
  // ')'.
  char buf[1024];
  size_t used = 0;
  for (;;) {
    const ssize_t n = read(fd, buf + used, sizeof buf - 1 - used);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    used += static_cast<size_t>(n);
    if (used == sizeof buf - 1) break;
  }
  close(fd);
  buf[used] = '\0';
  const char* p = strrchr(buf, ')');
  if (p == nullptr) return 0;
  ++p;
  // Field 3 is the state; field 22 the start time.
  int field = 2;
  const char* state = nullptr;
  while (*p != '\0') {
    while (*p == ' ') ++p;
    if (*p == '\0') break;
    ++field;
    if (field == 3) state = p;
    if (field == 22) {
      char* end = nullptr;
      const unsigned long long value = strtoull(p, &end, 10);
      if (end == p || (*end != ' ' && *end != '\0' && *end != '\n')) return 0;
      if (state != nullptr && (*state == 'Z' || *state == 'X' || *state == 'x')) return 0;
      return static_cast<uint64_t>(value);
    }
    while (*p != ' ' && *p != '\0') ++p;
  }
  return 0;
}
#elif defined(__FreeBSD__)
uint64_t processStartTime(pid_t pid) {
  if (pid < 1) return 0;
  int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, static_cast<int>(pid)};
  struct kinfo_proc info;
  size_t size = sizeof info;
  if (sysctl(mib, 4, &info, &size, nullptr, 0) != 0 || size != sizeof info) return 0;
  if (info.ki_stat == SZOMB) return 0;
  return static_cast<uint64_t>(info.ki_start.tv_sec) * 1000000u +
         static_cast<uint64_t>(info.ki_start.tv_usec);
}
#else
// No portable way to tell one process from a later one with the same pid:
// an unknown start time means nobody is ever signalled on its strength.
uint64_t processStartTime(pid_t) { return 0; }
#endif

bool raiseNoFileLimit(rlim_t& before, rlim_t& after) {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
  before = limit.rlim_cur;
  after = limit.rlim_cur;
  setChildNoFileLimit(limit.rlim_cur);
  if (limit.rlim_cur == limit.rlim_max) return true;
  struct rlimit raised = limit;
  raised.rlim_cur = limit.rlim_max;
#if defined(__APPLE__)
  // The hard limit may read as infinite while the kernel caps it.
  if (raised.rlim_cur == RLIM_INFINITY) raised.rlim_cur = OPEN_MAX;
#endif
  if (setrlimit(RLIMIT_NOFILE, &raised) != 0) return false;
  after = raised.rlim_cur;
  return true;
}

rlim_t childNoFileLimit() { return g_child_nofile.load(std::memory_order_relaxed); }

void setChildNoFileLimit(rlim_t limit) { g_child_nofile.store(limit, std::memory_order_relaxed); }

}  // namespace Utils
