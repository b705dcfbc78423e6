// A child process that announces itself with a locked hup file
// "DIR/NAME.PID.hup" and holds the lock until the object is destroyed.
#ifndef KORZA_TESTS_SUPPORT_LOCK_HOLDER_H_
#define KORZA_TESTS_SUPPORT_LOCK_HOLDER_H_

#include <sys/types.h>

#include <string>

namespace kztest {

class LockHolder {
 public:
  // The child appends "H" to `hups_file` for every SIGHUP and lives on.
  LockHolder(const std::string& dir, const std::string& name, const std::string& hups_file);
  ~LockHolder();
  LockHolder(const LockHolder&) = delete;
  LockHolder& operator=(const LockHolder&) = delete;

  pid_t pid() const { return pid_; }
  const std::string& path() const { return path_; }

 private:
  pid_t pid_ = -1;
  int release_ = -1;
  std::string path_;
};

}  // namespace kztest

#endif  // KORZA_TESTS_SUPPORT_LOCK_HOLDER_H_
