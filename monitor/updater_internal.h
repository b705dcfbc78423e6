// The updater's package checks, for the updater and its tests: a walk from
// "/" that keeps a descriptor of every verified directory, and the removal
// of a failed package through those descriptors.
#ifndef KORZA_MONITOR_UPDATER_INTERNAL_H_
#define KORZA_MONITOR_UPDATER_INTERNAL_H_

#include <string>

namespace updater_internal {

// A descriptor closed exactly once, by its owner.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Fd& operator=(Fd&& other) noexcept;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void reset(int fd = -1);

 private:
  int fd_;
};

// A package directory and one of its scripts, as the walk verified them.
struct Package {
  std::string directory;   // as asked for
  std::string scriptPath;  // directory + "/" + the script's relative path
  Fd parent;               // the package directory's parent
  std::string name;        // the package directory's name in `parent`
  Fd dir;                  // the package directory
  Fd scriptDir;            // the directory holding the script
  std::string scriptName;  // the script's name in `scriptDir`
  Fd script;               // the script, open for reading
};

// Walks `directory` from "/" and then `script` (relative, "a/b/name") from
// it, checking every step (see updater.h). Throws Updater::error
// "update package path \"PATH\" is not trusted: WHY".
Package verifyPackage(const std::string& directory, const std::string& script);

// Removes the package directory and everything below it with unlinkat,
// never following a link and entering only directories opened without
// following one. False with `why` when something could not be removed.
bool removePackage(const Package& package, std::string& why);

}  // namespace updater_internal

#endif  // KORZA_MONITOR_UPDATER_INTERNAL_H_
