#include "monitor/updater.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "apps/run_state.h"
#include "base/log.h"
#include "base/utils.h"
#include "monitor/updater_internal.h"

using korza::monitorLog;
using Utils::printable;

namespace updater_internal {

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) {
    reset(other.fd_);
    other.fd_ = -1;
  }
  return *this;
}

void Fd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

namespace {

// A package tree deeper than this is not removed (the recursion is bounded).
const int kMaxDepth = 64;

Updater::error untrusted(const std::string& path, const std::string& why) {
  return Updater::error("update package path \"" + path + "\" is not trusted: " + why);
}

// The components of an absolute path; refuses what could name another
// directory than the text suggests.
std::vector<std::string> componentsOf(const std::string& directory) {
  if (directory.empty() || directory[0] != '/') {
    throw untrusted(directory, "it is not an absolute path");
  }
  std::vector<std::string> parts;
  size_t start = 1;
  for (;;) {
    const size_t slash = directory.find('/', start);
    std::string part = directory.substr(start, slash == std::string::npos ? slash : slash - start);
    if (part.empty()) throw untrusted(directory, "it has an empty component or a trailing \"/\"");
    if (part == "." || part == "..") {
      throw untrusted(directory, "it has a \"" + part + "\" component");
    }
    parts.push_back(std::move(part));
    if (slash == std::string::npos) return parts;
    start = slash + 1;
  }
}

// Owner and mode of one step. Only an ancestor of the package directory
// that root owns and that is sticky may be writable by others: there nobody
// can rename or remove what another account owns.
void checkOwnerAndMode(const struct stat& st, const std::string& path, bool ancestor) {
  if (st.st_uid != 0 && st.st_uid != geteuid()) {
    throw untrusted(path, "it is owned by uid " + std::to_string(st.st_uid));
  }
  const bool root_sticky = ancestor && st.st_uid == 0 && (st.st_mode & S_ISVTX) != 0;
  if (root_sticky) return;
  if ((st.st_mode & S_IWGRP) != 0) throw untrusted(path, "it is writable by its group");
  if ((st.st_mode & S_IWOTH) != 0) throw untrusted(path, "it is writable by others");
}

// Opens `name` in `at` without following a link and checks it.
Fd openStep(int at, const std::string& name, const std::string& path, bool directory,
            bool ancestor) {
  const int flags =
      O_RDONLY | O_NOFOLLOW | O_CLOEXEC | (directory ? O_DIRECTORY : O_NONBLOCK | O_NOCTTY);
  int fd;
  do fd = openat(at, name.c_str(), flags);
  while (fd < 0 && errno == EINTR);
  struct stat st;
  if (fd < 0) {
    const int err = errno;
    if (fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
      if (S_ISLNK(st.st_mode)) throw untrusted(path, "it is a symbolic link");
      if (directory && !S_ISDIR(st.st_mode)) throw untrusted(path, "it is not a directory");
    }
    throw untrusted(path, "it cannot be opened: " + Utils::errorText(err));
  }
  Fd held(fd);
  if (fstat(fd, &st) != 0) {
    throw untrusted(path, "it cannot be examined: " + Utils::errorText(errno));
  }
  if (!directory && !S_ISREG(st.st_mode)) throw untrusted(path, "it is not a regular file");
  checkOwnerAndMode(st, path, ancestor);
  return held;
}

bool removeTree(int dir_fd, int depth, const std::string& path, std::string& why) {
  if (depth > kMaxDepth) {
    why = "\"" + path + "\" is nested too deeply";
    return false;
  }
  std::vector<std::string> names;
  {
    const int copy = fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
    DIR* dir = copy < 0 ? nullptr : fdopendir(copy);
    if (dir == nullptr) {
      why = "cannot read \"" + path + "\": " + Utils::errorText(errno);
      if (copy >= 0) ::close(copy);
      return false;
    }
    rewinddir(dir);
    while (const struct dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
  }
  for (const auto& name : names) {
    const std::string inner = path + "/" + name;
    struct stat st;
    if (fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;
      why = "cannot examine \"" + inner + "\": " + Utils::errorText(errno);
      return false;
    }
    int flags = 0;
    if (S_ISDIR(st.st_mode)) {
      const int sub = openat(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub < 0) {
        why = "cannot open \"" + inner + "\": " + Utils::errorText(errno);
        return false;
      }
      const Fd held(sub);
      if (!removeTree(sub, depth + 1, inner, why)) return false;
      flags = AT_REMOVEDIR;
    }
    if (unlinkat(dir_fd, name.c_str(), flags) != 0 && errno != ENOENT) {
      why = "cannot remove \"" + inner + "\": " + Utils::errorText(errno);
      return false;
    }
  }
  return true;
}

}  // namespace

Package verifyPackage(const std::string& directory, const std::string& script) {
  Package p;
  p.directory = directory;
  p.scriptPath = directory + "/" + script;
  const std::vector<std::string> parts = componentsOf(directory);
  const std::vector<std::string> inner = Utils::split(script, "/");
  int fd;
  do fd = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) throw untrusted("/", "it cannot be opened: " + Utils::errorText(errno));
  Fd current(fd);
  struct stat st;
  if (fstat(current.get(), &st) != 0) {
    throw untrusted("/", "it cannot be examined: " + Utils::errorText(errno));
  }
  checkOwnerAndMode(st, "/", true);
  std::string path;
  for (size_t i = 0; i < parts.size(); ++i) {
    path += "/" + parts[i];
    const bool last = i + 1 == parts.size();
    Fd next = openStep(current.get(), parts[i], path, true, !last);
    if (last) {
      p.parent = std::move(current);
      p.name = parts[i];
    }
    current = std::move(next);
  }
  p.dir = std::move(current);
  int at = p.dir.get();
  Fd step;
  for (size_t i = 0; i + 1 < inner.size(); ++i) {
    path += "/" + inner[i];
    step = openStep(at, inner[i], path, true, false);
    at = step.get();
  }
  if (inner.empty()) throw untrusted(p.scriptPath, "it names no script");
  p.scriptDir.reset(fcntl(at, F_DUPFD_CLOEXEC, 0));
  if (p.scriptDir.get() < 0) {
    throw untrusted(path, "it cannot be opened: " + Utils::errorText(errno));
  }
  p.scriptName = inner.back();
  p.script = openStep(at, p.scriptName, path + "/" + p.scriptName, false, false);
  return p;
}

bool removePackage(const Package& package, std::string& why) {
  if (!removeTree(package.dir.get(), 0, package.directory, why)) return false;
  // The entry is removed only while it still is the directory emptied.
  struct stat held, named;
  if (fstat(package.dir.get(), &held) != 0 ||
      fstatat(package.parent.get(), package.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
      held.st_dev != named.st_dev || held.st_ino != named.st_ino) {
    why = "\"" + package.directory + "\" was replaced meanwhile";
    return false;
  }
  if (unlinkat(package.parent.get(), package.name.c_str(), AT_REMOVEDIR) != 0) {
    why = "cannot remove \"" + package.directory + "\": " + Utils::errorText(errno);
    return false;
  }
  return true;
}

}  // namespace updater_internal

using updater_internal::Package;

namespace {

const char kPreUpdateScript[] = "unix/scripts/pre-update.sh";
const char kPostUpdateDir[] = "usr/local/korza";
const char kPostUpdateScript[] = "post-update.sh";

bool stopping() {
  const RunState::State state = RunState::get();
  return state == RunState::STOPPED || state == RunState::END;
}

}  // namespace

const char* const Updater::kProduct = "20-kzrunix";

Updater& Updater::instance() {
  static Updater updater;
  return updater;
}

bool Updater::pending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return !directory_.empty() && !second_.empty() && !product_.empty() && !fourth_.empty();
}

Updater::Result Updater::PreUpdate(const std::string& directory, const std::string& second,
                                   const std::string& product, const std::string& fourth,
                                   const std::string& fifth) {
  monitorLog().debug("PreUpdate() " + printable(directory) + ", " + printable(second) + ", " +
                     printable(product) + ", " + printable(fourth) + ", " + printable(fifth));
  // A package is removed after a failure only once the walk has verified
  // it, and only through what the walk opened.
  Package package;
  bool removable = false;
  try {
    try {
      Utils::checkPath(directory);
    } catch (const Utils::error& e) {
      throw error(e.what());
    }
    package = updater_internal::verifyPackage(directory, kPreUpdateScript);
    removable = true;
    if (fchmod(package.script.get(), 0750) != 0) {
      throw error("cannot change mode for script \"" + package.scriptPath +
                  "\": " + Utils::errorText(errno));
    }
    std::vector<std::string> argv{"./" + package.scriptName, directory, second, "44", "10", fourth};
    if (!fifth.empty()) argv.push_back(fifth);
    std::string output;
    Utils::RunEnd end;
    try {
      // Run from the verified directory by a name relative to it: nobody
      // but its trusted owner can change what that name refers to.
      end =
          Utils::runBounded(package.scriptDir.get(), argv[0], argv, output, scriptLimit_, stopping);
    } catch (const Utils::error& e) {
      throw error(e.what());
    }
    if (end == Utils::RunEnd::kTimedOut) {
      throw error("script \"" + package.scriptPath + "\" ran longer than " +
                  std::to_string(scriptLimit_.count() / 1000) + " seconds and was killed");
    }
    if (end == Utils::RunEnd::kCancelled) {
      throw error("script \"" + package.scriptPath + "\" was killed: the monitor is stopping");
    }
    if (!output.empty()) throw error(output);
  } catch (const error& e) {
    const std::string message = std::string("pre-update process error because of ") + e.what();
    monitorLog().error(printable(message));
    monitorLog().error("pre-update process unsuccessful");
    if (removable) {
      monitorLog().info("remove cache directory \"" + printable(directory) + "\"");
      std::string why;
      if (!updater_internal::removePackage(package, why)) {
        monitorLog().error("cannot remove cache directory \"" + printable(directory) +
                           "\": " + printable(why));
      }
    }
    return Result(false, message);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    directory_ = directory;
    second_ = second;
    product_ = product;
    fourth_ = fourth;
  }
  monitorLog().info("pre-update process successful");
  if (second.empty() || product.empty() || fourth.empty()) {
    monitorLog().alert("the update step will not run: the request's values or the mail " +
                       std::string("transfer agent name are empty"));
  }
  return Result(true, std::string());
}

void Updater::update() {
  std::string directory, second, product, fourth;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (directory_.empty() || second_.empty() || product_.empty() || fourth_.empty()) return;
    directory.swap(directory_);
    second.swap(second_);
    product.swap(product_);
    fourth.swap(fourth_);
    directory_.clear();
    second_.clear();
    product_.clear();
    fourth_.clear();
  }
  if (product != kProduct) {
    monitorLog().error("cannot update: unknown product \"" + printable(product) + "\"");
    return;
  }
  const std::string relative = std::string(kPostUpdateDir) + "/" + kPostUpdateScript;
  Package package;
  try {
    // Verified again: the package may have changed since its pre-update.
    package = updater_internal::verifyPackage(directory, relative);
  } catch (const error& e) {
    monitorLog().error(std::string("cannot update: ") + printable(e.what()));
    monitorLog().error("update process error");
    return;
  }
  monitorLog().debug("exec update cmd: sh " + printable(package.scriptPath) + " " +
                     printable(directory) + " " + printable(second) + " &");
  // In the background, from the verified directory, by the relative name;
  // it inherits neither the signals this daemon blocks nor its descriptors.
  if (Utils::startDetached(package.scriptDir.get(), "/bin/sh",
                           {"sh", package.scriptName, directory, second})) {
    monitorLog().info("update process successful");
  } else {
    monitorLog().error("update process error");
  }
}
