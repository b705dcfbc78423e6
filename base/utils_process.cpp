// Processes and commands: waiting for a child, closing inherited
// descriptors, and starting programs through the shell, bounded in time,
// or detached.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "base/child_wait.h"
#include "base/utils.h"

namespace Utils {

pid_t waitPid(pid_t pid, int* status, int options) {
  pid_t rc;
  do rc = ::waitpid(pid, status, options);
  while (rc < 0 && errno == EINTR);
  if (rc < 0) {
    throw std::runtime_error("waitpid(" + std::to_string(pid) + ", ..) error: " + errorText(errno));
  }
  return rc;
}

void closeDescriptorsFrom(int low) {
#if defined(__linux__) && defined(__GLIBC__) && \
    (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  if (close_range(static_cast<unsigned>(low), ~0u, 0) == 0) return;
#elif defined(__FreeBSD__)
  closefrom(low);
  return;
#endif
  struct rlimit limit;
  long top = 1024;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
    top = static_cast<long>(limit.rlim_cur);
  if (top > (1L << 20)) top = 1L << 20;
  for (long fd = low; fd < top; ++fd) ::close(static_cast<int>(fd));
}

pid_t spawnShell(const std::string& command, int child_fd, int& parent_end, bool keep_stderr) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  // The child's end is `fds[child_fd == 0 ? 0 : 1]`.
  const int child_end = child_fd == 0 ? fds[0] : fds[1];
  const int own_end = child_fd == 0 ? fds[1] : fds[0];
  fcntl(own_end, F_SETFD, FD_CLOEXEC);
  fcntl(child_end, F_SETFD, FD_CLOEXEC);
  // Everything the child uses is prepared here: after fork only
  // async-signal-safe calls.
  const char* args[] = {"sh", "-c", command.c_str(), nullptr};
  const pid_t pid = fork();
  if (pid < 0) {
    const int err = errno;
    ::close(fds[0]);
    ::close(fds[1]);
    errno = err;
    return -1;
  }
  if (pid == 0) {
    const int null_fd = ::open("/dev/null", O_RDWR);
    if (child_end != child_fd && dup2(child_end, child_fd) < 0) _exit(255);
    for (int target = 0; target <= (keep_stderr ? 1 : 2); ++target) {
      if (target == child_fd || null_fd < 0 || target == null_fd) continue;
      if (dup2(null_fd, target) < 0) _exit(255);
    }
    closeDescriptorsFrom(3);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execv("/bin/sh", const_cast<char* const*>(args));
    _exit(255);
  }
  ::close(child_end);
  parent_end = own_end;
  return pid;
}

namespace {

// The argument vector of a child, built before fork.
std::vector<const char*> argvOf(const std::vector<std::string>& argv) {
  std::vector<const char*> out;
  out.reserve(argv.size() + 1);
  for (const auto& arg : argv) out.push_back(arg.c_str());
  out.push_back(nullptr);
  return out;
}

// In a forked child (async-signal-safe calls only): enters `dir_fd`, puts
// the standard streams in place, drops every other descriptor, the signal
// mask and ignored signals, and executes. Never returns.
[[noreturn]] void execChild(int dir_fd, int err_fd, const char* path, const char* const* argv,
                            const char* const* shell_argv) {
  setsid();
  if (dir_fd >= 0 && fchdir(dir_fd) != 0) _exit(255);
  const int null_fd = ::open("/dev/null", O_RDWR);
  if (null_fd < 0) _exit(255);
  if (dup2(null_fd, 0) < 0 || dup2(null_fd, 1) < 0) _exit(255);
  if (dup2(err_fd >= 0 ? err_fd : null_fd, 2) < 0) _exit(255);
  closeDescriptorsFrom(3);
  struct sigaction dfl;
  std::memset(&dfl, 0, sizeof dfl);
  dfl.sa_handler = SIG_DFL;
  for (int signo = 1; signo < NSIG; ++signo) sigaction(signo, &dfl, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  execv(path, const_cast<char* const*>(argv));
  if (errno == ENOEXEC) execv("/bin/sh", const_cast<char* const*>(shell_argv));
  _exit(255);
}

int64_t msSince(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t)
      .count();
}

}  // namespace

RunEnd runBounded(int dir_fd, const std::string& path, const std::vector<std::string>& argv,
                  std::string& errors, std::chrono::milliseconds limit,
                  const std::function<bool()>& cancelled) {
  const size_t kKeep = size_t{64} * 1024;
  const int64_t kGraceMs = 1000;
  const int64_t kStepMs = 100;
  const std::vector<const char*> args = argvOf(argv);
  std::vector<std::string> shell_words{"sh", path};
  if (argv.size() > 1) shell_words.insert(shell_words.end(), argv.begin() + 1, argv.end());
  const std::vector<const char*> shell_args = argvOf(shell_words);
  int fds[2];
  if (pipe(fds) != 0) throw error("popen() error: " + errorText(errno));
  fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  fcntl(fds[1], F_SETFD, FD_CLOEXEC);
  const pid_t pid = fork();
  if (pid < 0) {
    const int err = errno;
    ::close(fds[0]);
    ::close(fds[1]);
    throw error("popen() error: " + errorText(err));
  }
  if (pid == 0) execChild(dir_fd, fds[1], path.c_str(), args.data(), shell_args.data());
  ::close(fds[1]);
  const int in = fds[0];
  fcntl(in, F_SETFL, fcntl(in, F_GETFL) | O_NONBLOCK);
  const auto started = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point exited_at;
  bool exited = false, eof = false;
  RunEnd end = RunEnd::kExited;
  int status = 0;
  for (;;) {
    if (!exited) {
      pid_t r;
      do r = ::waitpid(pid, &status, WNOHANG);
      while (r < 0 && errno == EINTR);
      if (r == pid || r < 0) {
        exited = true;
        exited_at = std::chrono::steady_clock::now();
      }
    }
    if (exited && (eof || msSince(exited_at) >= kGraceMs)) break;
    if (!exited) {
      const bool cancel = cancelled && cancelled();
      if (cancel || msSince(started) >= limit.count()) {
        // Not reaped yet, so the group id cannot have been reused.
        end = cancel ? RunEnd::kCancelled : RunEnd::kTimedOut;
        killGroup(pid, SIGKILL);
        try {
          waitChild(pid, &status, -1);
        } catch (const std::runtime_error&) {
        }
        break;
      }
    }
    int64_t wait_ms = kStepMs;
    if (exited) wait_ms = std::min(wait_ms, kGraceMs - msSince(exited_at));
    if (!exited) wait_ms = std::min<int64_t>(wait_ms, limit.count() - msSince(started));
    if (wait_ms < 0) wait_ms = 0;
    if (eof) {
      // Only the exit is left to wait for; it wakes this at once.
      try {
        if (waitChild(pid, &status, static_cast<int>(wait_ms))) {
          exited = true;
          exited_at = std::chrono::steady_clock::now();
        }
      } catch (const std::runtime_error&) {
        exited = true;
        exited_at = std::chrono::steady_clock::now();
      }
      continue;
    }
    struct pollfd p = {in, POLLIN, 0};
    const int n = ::poll(&p, 1, static_cast<int>(wait_ms));
    if (n < 0 && errno != EINTR) break;
    if (n <= 0) continue;
    char buf[4096];
    for (;;) {
      const ssize_t got = ::read(in, buf, sizeof buf);
      if (got < 0 && errno == EINTR) continue;
      if (got == 0) eof = true;
      if (got <= 0) break;
      if (errors.size() < kKeep) {
        errors.append(buf, std::min(static_cast<size_t>(got), kKeep - errors.size()));
      }
    }
  }
  ::close(in);
  return end;
}

bool startDetached(int dir_fd, const std::string& path, const std::vector<std::string>& argv) {
  const std::vector<const char*> args = argvOf(argv);
  std::vector<std::string> shell_words{"sh", path};
  if (argv.size() > 1) shell_words.insert(shell_words.end(), argv.begin() + 1, argv.end());
  const std::vector<const char*> shell_args = argvOf(shell_words);
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    // The intermediate child ends at once, so the program is nobody's to
    // wait for and no zombie is left behind.
    const pid_t grandchild = fork();
    if (grandchild == 0) execChild(dir_fd, -1, path.c_str(), args.data(), shell_args.data());
    _exit(grandchild < 0 ? 255 : 0);
  }
  int status = 0;
  try {
    if (!waitChild(pid, &status, -1)) return false;
  } catch (const std::runtime_error&) {
    return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool runCommand(const std::string& command, std::string& output) {
  const RunEnd end =
      runBounded(-1, "/bin/sh", {"sh", "-c", command}, output, std::chrono::minutes(10), nullptr);
  return end == RunEnd::kExited && output.empty();
}

}  // namespace Utils
