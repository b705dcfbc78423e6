#include "base/spawn.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KZ_TSAN_BUILD 1
#endif
#if __has_feature(address_sanitizer)
#define KZ_ASAN_BUILD 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define KZ_TSAN_BUILD 1
#endif
#if defined(__SANITIZE_ADDRESS__)
#define KZ_ASAN_BUILD 1
#endif

// The kernel's signal-action layout below is the one of these targets.
#if defined(__linux__) && (defined(__x86_64__) || defined(__aarch64__)) && \
    !defined(KZ_TSAN_BUILD) && !defined(KZ_SPAWN_FORK)
#define KZ_SHARED_SPAWN 1
#endif

#ifdef KZ_SHARED_SPAWN

#include <sched.h>
#include <sys/syscall.h>

#ifdef KZ_ASAN_BUILD
#include <sanitizer/asan_interface.h>
#endif

#ifndef SYS_close_range
#define SYS_close_range 436
#endif
#ifndef CLOSE_RANGE_UNSHARE
#define CLOSE_RANGE_UNSHARE (1U << 1)
#endif

namespace {

// The child's stack, on the suspended caller's own stack.
constexpr size_t kChildStack = size_t{32} * 1024;
// The kernel's sigset: signals 1 to 64.
constexpr unsigned long kKernelSigsetBytes = 8;

struct KernelSigaction {
  void* handler;
  unsigned long flags;
  void* restorer;
  unsigned long mask;
};

int result(long rc) { return rc < 0 ? -1 : 0; }

bool probeShared() {
  // An empty range: EINVAL where the call exists, ENOSYS where it does not
  // (kernels before 5.9 have neither it nor its unshare flag).
  const long rc = syscall(SYS_close_range, 1u, 0u, 0u);
  return !(rc < 0 && errno == ENOSYS);
}

}  // namespace

bool Spawn::sharedAvailable() {
  static const bool available = probeShared();
  return available;
}

pid_t Spawn::startShared(int (*fn)(void*), void* arg, sigset_t* callerMask) {
  alignas(64) char stack[kChildStack];
  sigset_t all;
  sigfillset(&all);
  // No handler of the parent may run in the child, which shares its memory:
  // the child starts with every signal blocked and resets the handlers
  // before it unblocks any.
  const int rc = pthread_sigmask(SIG_SETMASK, &all, callerMask);
  if (rc != 0) {
    errno = rc;
    return -1;
  }
  const pid_t pid =
      clone(fn, stack + sizeof(stack), CLONE_VM | CLONE_VFORK | CLONE_FILES | SIGCHLD, arg);
  const int err = errno;
  pthread_sigmask(SIG_SETMASK, callerMask, nullptr);
#ifdef KZ_ASAN_BUILD
  // The child's frames left their red zones marked on this array.
  __asan_unpoison_memory_region(stack, sizeof(stack));
#endif
  errno = err;
  return pid;
}

int Spawn::dupCloseOnExec(int from, int to) {
  if (from == to) return setCloseOnExec(to);
  return result(dup3(from, to, O_CLOEXEC));
}

int Spawn::unshareDescriptorsBelow(int low) {
  return result(syscall(SYS_close_range, static_cast<unsigned>(low), ~0u, CLOSE_RANGE_UNSHARE));
}

int Spawn::closeRange(int low, int high) {
  if (low > high) return 0;
  return result(
      syscall(SYS_close_range, static_cast<unsigned>(low), static_cast<unsigned>(high), 0u));
}

int Spawn::dup2(int from, int to) {
  if (from == to) return 0;
  return result(syscall(SYS_dup3, from, to, 0));
}

int Spawn::close(int fd) { return result(syscall(SYS_close, fd)); }

int Spawn::setCloseOnExec(int fd) { return result(syscall(SYS_fcntl, fd, F_SETFD, FD_CLOEXEC)); }

long Spawn::write(int fd, const void* data, size_t size) {
  long rc;
  do rc = syscall(SYS_write, fd, data, size);
  while (rc < 0 && errno == EINTR);
  return rc;
}

void Spawn::exit(int code) {
  for (;;) syscall(SYS_exit_group, code);
}

int Spawn::resetCaughtSignals() {
  for (int signo = 1; signo <= 64; ++signo) {
    if (signo == SIGKILL || signo == SIGSTOP) continue;
    KernelSigaction old{};
    if (syscall(SYS_rt_sigaction, signo, nullptr, &old, kKernelSigsetBytes) < 0) continue;
    if (old.handler == reinterpret_cast<void*>(SIG_DFL) ||
        old.handler == reinterpret_cast<void*>(SIG_IGN))
      continue;
    KernelSigaction dfl{};
    dfl.handler = reinterpret_cast<void*>(SIG_DFL);
    if (syscall(SYS_rt_sigaction, signo, &dfl, nullptr, kKernelSigsetBytes) < 0) return -1;
  }
  return 0;
}

int Spawn::setSignalMask(const sigset_t* mask) {
  return result(syscall(SYS_rt_sigprocmask, SIG_SETMASK, mask, nullptr, kKernelSigsetBytes));
}

int Spawn::setNoFileLimit(const struct rlimit& limit) {
  return result(syscall(SYS_prlimit64, 0, RLIMIT_NOFILE, &limit, nullptr));
}

int Spawn::applyAccount(const Utils::Account& account) {
  const auto uid = static_cast<uid_t>(syscall(SYS_getuid));
  // As root, the supplementary groups of root would otherwise go with the
  // new user.
  if (account.setUser && syscall(SYS_geteuid) == 0 && account.uid != uid) {
    if (syscall(SYS_setgroups, account.groups.size(), account.groups.data()) < 0) return 1;
  }
  if (account.setGroup && account.gid != static_cast<gid_t>(syscall(SYS_getgid)) &&
      syscall(SYS_setgid, account.gid) < 0)
    return 2;
  if (account.setUser && account.uid != uid && syscall(SYS_setuid, account.uid) < 0) return 3;
  return 0;
}

#else  // no shared start: callers fork

namespace {
int unsupported() {
  errno = ENOSYS;
  return -1;
}
}  // namespace

bool Spawn::sharedAvailable() { return false; }
pid_t Spawn::startShared(int (*)(void*), void*, sigset_t*) { return unsupported(); }
int Spawn::dupCloseOnExec(int, int) { return unsupported(); }
int Spawn::unshareDescriptorsBelow(int) { return unsupported(); }
int Spawn::closeRange(int, int) { return unsupported(); }
int Spawn::dup2(int, int) { return unsupported(); }
int Spawn::close(int) { return unsupported(); }
int Spawn::setCloseOnExec(int) { return unsupported(); }
long Spawn::write(int, const void*, size_t) { return unsupported(); }
void Spawn::exit(int code) { _exit(code); }
int Spawn::resetCaughtSignals() { return unsupported(); }
int Spawn::setSignalMask(const sigset_t*) { return unsupported(); }
int Spawn::setNoFileLimit(const struct rlimit&) { return unsupported(); }
int Spawn::applyAccount(const Utils::Account&) { return unsupported(); }

#endif
