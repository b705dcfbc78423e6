// The updater: the two halves of an update that a control client asks for.
// PreUpdate runs the update package's pre-update script at once and, when
// it succeeds, remembers the request; update(), run by the main loop, then
// starts the package's post-update script in the background.
//
// Only a trusted package is run. The update directory is resolved one
// component at a time from "/" without following symbolic links (no empty,
// "." or ".." component, no trailing "/"); every directory on that walk, the
// package directory, the directories leading to the script and the script
// itself must be owned by root or by the account the daemon runs as (its
// effective uid) and not writable by group or others; only an ancestor of
// the package directory that is root-owned and sticky (like /tmp) may be
// writable by others. The script is then run, and a failed package removed,
// through the descriptors that walk opened, never by its path again.
//
// Thread safety: PreUpdate runs on the control server's thread and update on
// the main-loop thread; the pending request is guarded by one mutex.
#ifndef KORZA_MONITOR_UPDATER_H_
#define KORZA_MONITOR_UPDATER_H_

#include <chrono>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>

class Updater {
 public:
  class error : public std::runtime_error {
   public:
    explicit error(const std::string& what) : std::runtime_error(what) {}
  };

  // (success, message) of a pre-update.
  using Result = std::pair<bool, std::string>;

  static const char* const kProduct;  // "20-kzrunix"

  // The updater of the process.
  static Updater& instance();

  // `script_limit`: how long a pre-update script may run before it is
  // killed with its process group and the pre-update fails.
  explicit Updater(std::chrono::milliseconds script_limit = std::chrono::minutes(10))
      : scriptLimit_(script_limit) {}
  Updater(const Updater&) = delete;
  Updater& operator=(const Updater&) = delete;

  // Runs DIRECTORY/unix/scripts/pre-update.sh with the arguments
  // directory, second, 44, 10, fourth and, when not empty, fifth. On
  // success the update is pending and the result is (true, ""); on failure
  // the reason is logged, a package that passed the checks is removed, and
  // the result is (false, "pre-update process error because of " + reason).
  // Returns within about a second once the daemon is stopping, the script
  // killed.
  Result PreUpdate(const std::string& directory, const std::string& second,
                   const std::string& product, const std::string& fourth, const std::string& fifth);
  // Starts the post-update script of the pending update in the background
  // (product "20-kzrunix" only, the package verified again) and clears the
  // pending update. Nothing happens when none is pending.
  void update();
  bool pending() const;

 private:
  const std::chrono::milliseconds scriptLimit_;
  mutable std::mutex mutex_;
  std::string directory_;  // GUARDED_BY(mutex_)
  std::string second_;     // GUARDED_BY(mutex_)
  std::string product_;    // GUARDED_BY(mutex_)
  std::string fourth_;     // GUARDED_BY(mutex_)
};

#endif  // KORZA_MONITOR_UPDATER_H_
