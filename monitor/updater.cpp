#include "monitor/updater.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "base/log.h"
#include "base/utils.h"

using korza::monitorLog;

namespace {

const char kPreUpdateScript[] = "unix/scripts/pre-update.sh";
const char kPostUpdateDir[] = "usr/local/korza";
const char kPostUpdateScript[] = "post-update.sh";

// One shell word holding `value` exactly: the values come from a client,
// the agent and the settings, and none of them may reach the shell as
// anything but an argument.
std::string shellWord(const std::string& value) {
  if (value.find('\0') != std::string::npos) {
    throw Updater::error("value \"" + value.substr(0, value.find('\0')) +
                         "\" contains a NUL character");
  }
  std::string word = "'";
  for (char ch : value) {
    if (ch == '\'') {
      word += "'\\''";
    } else {
      word += ch;
    }
  }
  return word + "'";
}

std::string untrusted(const std::string& path, const std::string& why) {
  return "update package path \"" + path + "\" is not trusted: " + why;
}

}  // namespace

const char* const Updater::kProduct = "20-kzrunix";

Updater& Updater::instance() {
  static Updater updater;
  return updater;
}

void Updater::setTrustedUser(const std::string& user) {
  std::lock_guard<std::mutex> lock(mutex_);
  trustedUser_ = user;
}

bool Updater::pending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return !directory_.empty() && !second_.empty() && !product_.empty() && !fourth_.empty();
}

void Updater::checkTrusted(const std::string& directory, const std::string& relative) const {
  std::string trusted_user;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    trusted_user = trustedUser_;
  }
  bool have_user = false;
  uid_t user_uid = 0;
  if (!trusted_user.empty()) {
    try {
      user_uid = Utils::userId(trusted_user);
      have_user = true;
    } catch (const Utils::error&) {
      // An account that cannot be looked up trusts nothing.
    }
  }
  const std::vector<std::string> parts = Utils::split(relative, "/");
  std::string path = directory;
  for (size_t i = 0; i <= parts.size(); ++i) {
    if (i > 0) path += "/" + parts[i - 1];
    const bool last = i == parts.size();
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
      throw error(untrusted(path, "it cannot be examined: " + Utils::errorText(errno)));
    }
    if (S_ISLNK(st.st_mode)) throw error(untrusted(path, "it is a symbolic link"));
    if (!last && !S_ISDIR(st.st_mode)) throw error(untrusted(path, "it is not a directory"));
    if (last && !S_ISREG(st.st_mode)) throw error(untrusted(path, "it is not a regular file"));
    if (st.st_uid != 0 && st.st_uid != geteuid() && !(have_user && st.st_uid == user_uid)) {
      throw error(untrusted(path, "it is owned by uid " + std::to_string(st.st_uid)));
    }
    if ((st.st_mode & S_IWOTH) != 0) throw error(untrusted(path, "it is writable by others"));
  }
}

Updater::Result Updater::PreUpdate(const std::string& directory, const std::string& second,
                                   const std::string& product, const std::string& fourth,
                                   const std::string& fifth) {
  monitorLog().debug("PreUpdate() " + directory + ", " + second + ", " + product + ", " + fourth +
                     ", " + fifth);
  const std::string script = directory + "/" + kPreUpdateScript;
  // A package is removed after a failure only once it is known to be a
  // trusted package at a sound path: never a path the shell could misread,
  // never a directory someone else owns.
  bool removable = false;
  try {
    try {
      Utils::checkPath(directory);
    } catch (const Utils::error& e) {
      throw error(e.what());
    }
    std::string command =
        script + " " + directory + " " + shellWord(second) + " 44 10 " + shellWord(fourth);
    if (!fifth.empty()) command += " " + shellWord(fifth);
    checkTrusted(directory, kPreUpdateScript);
    removable = true;
    // The mode is set through a descriptor of the file just checked, so a
    // link put in its place meanwhile is refused rather than followed.
    const int fd = open(script.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 || fchmod(fd, 0770) != 0) {
      const int err = errno;
      if (fd >= 0) close(fd);
      throw error("cannot change mode for script \"" + script + "\": " + Utils::errorText(err));
    }
    close(fd);
    std::string output;
    bool ok;
    try {
      ok = Utils::runCommand(command, output);
    } catch (const Utils::error& e) {
      throw error(e.what());
    }
    if (!ok) throw error(output);
  } catch (const error& e) {
    const std::string message = std::string("pre-update process error because of ") + e.what();
    monitorLog().error(message);
    monitorLog().error("pre-update process unsuccessful");
    if (removable) {
      monitorLog().info("remove cache directory \"" + directory + "\"");
      std::string output;
      try {
        if (!Utils::runCommand("rm -rf " + directory, output)) {
          monitorLog().error("cannot remove cache directory \"" + directory + "\": " + output);
        }
      } catch (const Utils::error& removal) {
        monitorLog().error("cannot remove cache directory \"" + directory +
                           "\": " + removal.what());
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
    monitorLog().error("cannot update: unknown product \"" + product + "\"");
    return;
  }
  const std::string relative = std::string(kPostUpdateDir) + "/" + kPostUpdateScript;
  std::string command;
  try {
    checkTrusted(directory, relative);
    command = "sh " + directory + "/" + relative + " " + directory + " " + shellWord(second) + " &";
  } catch (const error& e) {
    monitorLog().error(std::string("cannot update: ") + e.what());
    monitorLog().error("update process error");
    return;
  }
  monitorLog().debug("exec update cmd: " + command);
  // Not system(): the script outlives this call (it runs in the background)
  // and must neither inherit the signals this daemon blocks nor its
  // descriptors (the control socket, the components' answer pipes).
  int status = -1;
  int in_fd = -1;
  const pid_t pid = Utils::spawnShell(command, 0, in_fd, false);
  if (pid > 0) {
    ::close(in_fd);
    try {
      if (Utils::waitPid(pid, &status, 0) != pid) status = -1;
    } catch (const std::exception& e) {
      monitorLog().error(e.what());
      status = -1;
    }
  }
  if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    monitorLog().error("update process error");
  } else {
    monitorLog().info("update process successful");
  }
}
