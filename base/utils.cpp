#include "base/utils.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <type_traits>

namespace Utils {

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

}  // namespace Utils
