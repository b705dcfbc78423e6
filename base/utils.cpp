#include "base/utils.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <type_traits>

#include "base/child_wait.h"

namespace Utils {

namespace {

// Lookups by name use the reentrant calls with a growing buffer, retried on
// EINTR. Returns 0 and fills *out, or an error number (ENOENT when absent).
int lookupUser(const std::string& name, struct passwd* out, std::vector<char>& buf) {
  buf.resize(1024);
  for (;;) {
    struct passwd* result = nullptr;
    int rc = getpwnam_r(name.c_str(), out, buf.data(), buf.size(), &result);
    if (rc == EINTR) continue;
    if (rc == ERANGE && buf.size() < (1u << 20)) {
      buf.resize(buf.size() * 2);
      continue;
    }
    if (rc != 0) return rc;
    return result == nullptr ? ENOENT : 0;
  }
}

int lookupGroup(const std::string& name, struct group* out, std::vector<char>& buf) {
  buf.resize(1024);
  for (;;) {
    struct group* result = nullptr;
    int rc = getgrnam_r(name.c_str(), out, buf.data(), buf.size(), &result);
    if (rc == EINTR) continue;
    if (rc == ERANGE && buf.size() < (1u << 20)) {
      buf.resize(buf.size() * 2);
      continue;
    }
    if (rc != 0) return rc;
    return result == nullptr ? ENOENT : 0;
  }
}

std::string formatTime(time_t t, const char* fmt) {
  struct tm tm_t;
  if (localtime_r(&t, &tm_t) == nullptr) return std::string();
  char buf[32];
  size_t n = strftime(buf, sizeof buf, fmt, &tm_t);
  return std::string(buf, n);
}

}  // namespace

const char* osName() {
#if defined(__linux__)
  return "Linux";
#elif defined(__FreeBSD__)
  return "FreeBSD";
#elif defined(__sun)
  return "Solaris";
#elif defined(__APPLE__)
  return "MacOS X";
#else
  return "UNKNOWN";
#endif
}

const char* version() { return "6.0.0.201105110"; }

std::string errorText(int err) {
  char buf[256];
  // Portable across the XSI and GNU variants of strerror_r.
  auto text = [&](auto rc) -> const char* {
    if constexpr (std::is_same_v<decltype(rc), char*>) {
      return rc;
    } else {
      return rc == 0 ? buf : "Unknown error";
    }
  };
  return text(strerror_r(err, buf, sizeof buf));
}

bool tryWriteLock(int fd) {
  struct flock lock;
  memset(&lock, 0, sizeof lock);
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;  // the whole file, however long it grows
  int rc;
  do rc = fcntl(fd, F_SETLK, &lock);
  while (rc < 0 && errno == EINTR);
  return rc == 0;
}

int createPidFile(const std::string& path, pid_t pid, const std::vector<std::string>& addresses) {
  // Never through a link, never anything but a regular file, and readable
  // by everyone but writable by the owner only, whatever the file was.
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
  if (fd < 0) {
    throw error("error in create pid file \"" + path + "\": " + errorText(errno));
  }
  struct stat st;
  int err = fstat(fd, &st) != 0 ? errno : (S_ISREG(st.st_mode) ? 0 : EINVAL);
  if (err == 0 && fchmod(fd, 0644) != 0) err = errno;
  if (err != 0) {
    ::close(fd);
    throw error("error in create pid file \"" + path + "\": " + errorText(err));
  }
  int rc;
  if (!tryWriteLock(fd)) {
    int err = errno;
    ::close(fd);
    throw error("unable to set lock for file \"" + path + "\": " + errorText(err));
  }
  do rc = ftruncate(fd, 0);
  while (rc < 0 && errno == EINTR);
  if (rc < 0) {
    int err = errno;
    ::close(fd);
    throw error("error truncate pid file: " + errorText(err));
  }
  std::string content = format(32, "%d\n", static_cast<int>(pid));
  for (const auto& a : addresses) content += a + "\n";
  if (!writeAll(fd, content)) {
    int err = errno;
    ::close(fd);
    throw error("error write to pid file: " + errorText(err));
  }
  return fd;
}

void unlinkPidFile(const std::string& path, int fd) {
  int rc;
  do rc = ::unlink(path.c_str());
  while (rc < 0 && errno == EINTR);
  int err = errno;
  if (fd >= 0) ::close(fd);
  if (rc < 0) throw error("error unlink pid file \"" + path + "\": " + errorText(err));
}

uid_t userId(const std::string& user) {
  struct passwd pw;
  std::vector<char> buf;
  if (lookupUser(user, &pw, buf) != 0) throw error("getpwnam( \"" + user + "\" ) error");
  return pw.pw_uid;
}

gid_t groupId(const std::string& group) {
  struct group gr;
  std::vector<char> buf;
  if (lookupGroup(group, &gr, buf) != 0) throw error("getgrnam( \"" + group + "\" ) error");
  return gr.gr_gid;
}

Account resolveAccount(const std::string& user, const std::string& group) {
  Account account;
  if (!user.empty()) {
    struct passwd pw;
    std::vector<char> buf;
    if (lookupUser(user, &pw, buf) != 0) throw error("getpwnam( \"" + user + "\" ) error");
    account.setUser = true;
    account.uid = pw.pw_uid;
    account.setGroup = true;
    account.gid = pw.pw_gid;
    // getgrouplist is not POSIX, but every target has it; it counts the
    // primary group in, as the account's login would.
    int count = 16;
    for (int attempt = 0; attempt < 8; ++attempt) {
      std::vector<gid_t> list(static_cast<size_t>(count));
      int n = count;
#if defined(__APPLE__)
      const int rc = getgrouplist(pw.pw_name, static_cast<int>(pw.pw_gid),
                                  reinterpret_cast<int*>(list.data()), &n);
#else
      const int rc = getgrouplist(pw.pw_name, pw.pw_gid, list.data(), &n);
#endif
      if (rc >= 0) {
        list.resize(static_cast<size_t>(n));
        account.groups = std::move(list);
        break;
      }
      count = n > count ? n : count * 2;
    }
    if (account.groups.empty()) account.groups.push_back(pw.pw_gid);
  }
  if (!group.empty()) {
    struct group gr;
    std::vector<char> buf;
    if (lookupGroup(group, &gr, buf) != 0) throw error("getgrnam( \"" + group + "\" ) error");
    account.setGroup = true;
    account.gid = gr.gr_gid;
  }
  return account;
}

int applyAccount(const Account& account) {
  // Only a process that may set groups drops its own: as root, the
  // supplementary groups of root would otherwise go with the new user.
  if (account.setUser && geteuid() == 0 && account.uid != getuid()) {
    if (setgroups(account.groups.size(), account.groups.data()) != 0) return 1;
  }
  if (account.setGroup && account.gid != getgid() && setgid(account.gid) != 0) return 2;
  if (account.setUser && account.uid != getuid() && setuid(account.uid) != 0) return 3;
  return 0;
}

bool setUserAndGroup(const std::string& user, const std::string& group) {
  const Account account = resolveAccount(user, group);
  switch (applyAccount(account)) {
    case 1:
      throw error("cannot set groups, because of " + errorText(errno));
    case 2:
      throw error("cannot set gid, because of " + errorText(errno));
    case 3:
      throw error("cannot set uid, because of " + errorText(errno));
    default:
      break;
  }
  return !user.empty() || !group.empty();
}

std::string currentUserName() {
  std::vector<char> buf(4096);
  struct passwd pw;
  struct passwd* result = nullptr;
  int rc;
  do rc = getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &result);
  while (rc == EINTR);
  return (rc == 0 && result != nullptr) ? std::string(pw.pw_name) : std::string();
}

std::string currentGroupName() {
  std::vector<char> buf(4096);
  struct group gr;
  struct group* result = nullptr;
  int rc;
  do rc = getgrgid_r(getgid(), &gr, buf.data(), buf.size(), &result);
  while (rc == EINTR);
  return (rc == 0 && result != nullptr) ? std::string(gr.gr_name) : std::string();
}

pid_t waitPid(pid_t pid, int* status, int options) {
  pid_t rc;
  do rc = ::waitpid(pid, status, options);
  while (rc < 0 && errno == EINTR);
  if (rc < 0) {
    throw std::runtime_error("waitpid(" + std::to_string(pid) + ", ..) error: " + errorText(errno));
  }
  return rc;
}

std::vector<std::string> listDir(const std::string& path) { return listDir(path, std::string()); }

std::vector<std::string> listDir(const std::string& path, const std::string& suffix) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(path.c_str()), closedir);
  if (!dir) throw std::runtime_error("opendir() error: " + errorText(errno));
  std::vector<std::string> entries;
  for (;;) {
    errno = 0;
    struct dirent* ent = readdir(dir.get());
    if (ent == nullptr) {
      if (errno != 0) throw std::runtime_error("opendir() error: " + errorText(errno));
      break;
    }
    std::string name = ent->d_name;
    std::string full = path + name;
    struct stat st;
    if (stat(full.c_str(), &st) != 0) {
      // Gone since readdir, or a link to nothing: not an entry to list, and
      // no reason to give up the whole pass.
      if (errno == ENOENT || errno == ELOOP) continue;
      throw std::runtime_error("stat() error: " + errorText(errno));
    }
    if (S_ISDIR(st.st_mode)) continue;
    if (!suffix.empty() &&
        (name.size() < suffix.size() ||
         name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)) {
      continue;
    }
    entries.push_back(full);
  }
  return entries;
}

std::vector<std::string> split(const std::string& text, const std::string& delimiter) {
  std::vector<std::string> pieces;
  if (delimiter.empty()) {
    if (!text.empty()) pieces.push_back(text);
    return pieces;
  }
  size_t pos = 0;
  if (text.compare(0, delimiter.size(), delimiter) == 0) pos = delimiter.size();
  for (;;) {
    size_t next = text.find(delimiter, pos);
    if (next == std::string::npos) break;
    pieces.push_back(text.substr(pos, next - pos));
    pos = next + delimiter.size();
  }
  if (text.size() - pos >= delimiter.size()) pieces.push_back(text.substr(pos));
  return pieces;
}

std::string trim(const std::string& text) {
  size_t b = 0;
  size_t e = text.size();
  while (b < e && !isgraph(static_cast<unsigned char>(text[b]))) ++b;
  while (e > b && !isgraph(static_cast<unsigned char>(text[e - 1]))) --e;
  return text.substr(b, e - b);
}

bool NoCaseLess::operator()(const std::string& a, const std::string& b) const {
  return strcasecmp(a.c_str(), b.c_str()) < 0;
}

bool equalsNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strcasecmp(a.c_str(), b.c_str()) == 0;
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

void checkPath(const std::string& path) {
  const auto reject = [&path](char ch) {
    throw error("path \"" + path + "\" is not correct. ch=" + std::string(1, ch));
  };
  if (path.empty()) throw error("path \"\" is not correct. ch=");
  if (path[0] != '/') reject(path[0]);
  static const char kSafe[] = "/._+-,:@%=";
  for (char ch : path) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (!std::isalnum(c) && (c == 0 || std::strchr(kSafe, c) == nullptr)) reject(ch);
  }
  // Every component must name an entry of its own: "/", "//", "/./" and
  // "/../" would reach a directory other than the one the text suggests.
  size_t start = 1;
  for (;;) {
    const size_t slash = path.find('/', start);
    const std::string part = path.substr(start, slash == std::string::npos ? slash : slash - start);
    if (part.empty() || part == "." || part == "..") {
      // A single trailing "/" after a real component is harmless.
      if (!(part.empty() && slash == std::string::npos && start > 1)) {
        reject(part.empty() ? '/' : '.');
      }
    }
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
}

std::string printable(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const unsigned char ch = static_cast<unsigned char>(c);
    if (ch == '\n') {
      out += "\\n";
    } else if (ch < 0x20 || ch == 0x7f) {
      out += "\\x";
      out += kHex[ch >> 4];
      out += kHex[ch & 0xf];
    } else {
      out += c;
    }
  }
  return out;
}

bool writeAll(int fd, const std::string& data) {
  const char* p = data.data();
  size_t left = data.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

bool readFile(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::in | std::ios::binary);
  if (!in.is_open()) return false;
  std::ostringstream content;
  content << in.rdbuf();
  out = content.str();
  return true;
}

std::string hostName() {
  char buf[1024];
  if (gethostname(buf, sizeof buf) != 0) return std::string();
  buf[sizeof buf - 1] = '\0';
  return buf;
}

std::string timeOfDay(time_t t) { return formatTime(t, "%T"); }

std::string mailDate(time_t t) { return formatTime(t, "%a, %d %b %Y %H:%M:%S %z"); }

std::string mailDateNow() { return mailDate(time(nullptr)); }

std::string format(size_t size, const char* fmt, ...) {
  std::vector<char> buf(size == 0 ? 1 : size);
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(buf.data(), buf.size(), fmt, ap);
  va_end(ap);
  if (n < 0) return std::string();
  return std::string(buf.data(), std::min(static_cast<size_t>(n), buf.size() - 1));
}

}  // namespace Utils
