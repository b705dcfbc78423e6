#include "monitor/hup_files.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "base/utils.h"

using korza::monitorLog;

namespace {

const char kSuffix[] = ".hup";

}  // namespace

bool parseHupFileName(const std::string& path, std::string& name, int& pid) {
  const size_t suffix_len = sizeof kSuffix - 1;
  if (path.size() <= suffix_len ||
      path.compare(path.size() - suffix_len, suffix_len, kSuffix) != 0) {
    return false;
  }
  const std::string stem = path.substr(0, path.size() - suffix_len);
  const size_t slash = stem.rfind('/');
  const std::string base = slash == std::string::npos ? stem : stem.substr(slash + 1);
  const size_t dot = base.rfind('.');
  if (dot == std::string::npos) return false;
  const std::string digits = base.substr(dot + 1);
  // Only a plain positive decimal number: a negative "pid" would signal a
  // process group.
  if (digits.empty() || digits.size() > 9 ||
      digits.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const int value = static_cast<int>(std::strtol(digits.c_str(), nullptr, 10));
  if (value <= 0) return false;
  name = base.substr(0, dot);
  pid = value;
  return true;
}

void sendHup(pid_t pid, const std::string& name) {
  monitorLog().info("send HUP signal to component " +
                    (name.empty() ? std::string() : "\"" + Utils::printable(name) + "\" ") +
                    "with pid = " + std::to_string(pid));
  if (kill(pid, SIGHUP) != 0) {
    monitorLog().error("kill(" + std::to_string(pid) +
                       ", SIGHUP) error: " + Utils::errorText(errno));
  }
}

void processHupFiles(const std::string& dir, PidSet& pids, const std::string& own_pid_file) {
  std::vector<std::string> files;
  try {
    files = Utils::listDir(dir, kSuffix);
  } catch (const std::exception& e) {
    monitorLog().error(std::string("cannot list hup files: ") + e.what());
    return;
  }
  struct stat own;
  const bool have_own = !own_pid_file.empty() && stat(own_pid_file.c_str(), &own) == 0;
  const auto isOwn = [&](const struct stat& st) {
    return have_own && st.st_dev == own.st_dev && st.st_ino == own.st_ino;
  };
  for (const auto& file : files) {
    const std::string shown = Utils::printable(file);
    struct stat st;
    if (lstat(file.c_str(), &st) == 0 && (!S_ISREG(st.st_mode) || isOwn(st))) {
      monitorLog().alert("skip hup file \"" + shown + "\": " +
                         (isOwn(st) ? "it is the pid file of the monitor" : "not a regular file"));
      continue;
    }
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) {
      monitorLog().alert("error in open hup file \"" + shown + "\":" + Utils::errorText(errno));
      continue;
    }
    // The entry may have been replaced since it was looked at.
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || isOwn(st)) {
      monitorLog().alert("skip hup file \"" + shown + "\": not a regular file");
      // A descriptor of the pid file must not be closed: that would drop
      // the daemon's lock. Such a race needs write access to the pid-file
      // directory, which only the daemon's account has.
      if (!isOwn(st)) close(fd);
      continue;
    }
    std::string name;
    int pid = 0;
    if (!parseHupFileName(file, name, pid)) {
      monitorLog().alert("bad hup file format \"" + shown + "\"");
      close(fd);
      continue;
    }
    // Who holds the lock: only the process the name gives earns a signal,
    // so nobody can point the daemon's SIGHUP at another process.
    struct flock probe;
    std::memset(&probe, 0, sizeof probe);
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    int rc;
    do rc = fcntl(fd, F_GETLK, &probe);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      monitorLog().error("cannot probe the lock of hup file \"" + shown +
                         "\":" + Utils::errorText(errno));
    } else if (probe.l_type == F_UNLCK) {
      // Taken before the removal, so a process that locks the file just now
      // keeps it.
      if (Utils::tryWriteLock(fd)) {
        monitorLog().info("unlink not locked hup file \"" + shown + "\"");
        if (unlink(file.c_str()) != 0) {
          monitorLog().error("unlink error, file \"" + shown + "\":" + Utils::errorText(errno));
        }
      }
    } else if (probe.l_pid != pid) {
      if (pids.count(pid) != 0) {
        monitorLog().alert("hup file \"" + shown + "\" is locked by pid " +
                           std::to_string(probe.l_pid) + ", not by the pid it names: no signal");
      }
    } else if (pids.erase(pid) != 0) {
      sendHup(pid, name);
    }
    // Closing gives up the probe's lock, if it was taken.
    close(fd);
  }
}
