// The updater: the two halves of an update that a control client asks for.
// PreUpdate runs the update package's pre-update script at once and, when
// it succeeds, remembers the request; update(), run by the main loop, then
// starts the package's post-update script in the background.
//
// Only a trusted package is run: the update directory, the directories
// leading to each script and the script itself must be real (not symbolic
// links), owned by root, by the daemon's user or by the trusted user, and
// not writable by others.
//
// Thread safety: PreUpdate runs on the control server's thread and update on
// the main-loop thread; the pending request and the trusted user are
// guarded by one mutex.
#ifndef KORZA_MONITOR_UPDATER_H_
#define KORZA_MONITOR_UPDATER_H_

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

  Updater() = default;
  Updater(const Updater&) = delete;
  Updater& operator=(const Updater&) = delete;

  // Runs DIRECTORY/unix/scripts/pre-update.sh with the arguments
  // directory, second, 44, 10, fourth and, when not empty, fifth. On
  // success the update is pending and the result is (true, ""); on failure
  // the reason is logged, a package that passed the checks is removed, and
  // the result is (false, "pre-update process error because of " + reason).
  Result PreUpdate(const std::string& directory, const std::string& second,
                   const std::string& product, const std::string& fourth, const std::string& fifth);
  // Starts the post-update script of the pending update in the background
  // (product "20-kzrunix" only) and clears the pending update. Nothing
  // happens when none is pending.
  void update();
  bool pending() const;

  // The account, besides root and the daemon's own, that may own update
  // packages ("" for none).
  void setTrustedUser(const std::string& user);

 private:
  // Throws error unless `path` and the directories from `directory` down to
  // it are trusted.
  void checkTrusted(const std::string& directory, const std::string& relative) const;

  mutable std::mutex mutex_;
  std::string directory_;    // GUARDED_BY(mutex_)
  std::string second_;       // GUARDED_BY(mutex_)
  std::string product_;      // GUARDED_BY(mutex_)
  std::string fourth_;       // GUARDED_BY(mutex_)
  std::string trustedUser_;  // GUARDED_BY(mutex_)
};

#endif  // KORZA_MONITOR_UPDATER_H_
