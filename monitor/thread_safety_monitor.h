// The supervisor as the control server's thread may reach it: a Monitor
// that registers itself with the process-wide Mediator and keeps there a
// copy of the few settings control requests need (User, Group and the mail
// transfer agent name), refreshed by every reload that succeeds (a failed
// one changes nothing there either). The control server asks the mediator,
// never the settings object, so a concurrent reload cannot hand it a
// half-updated value.
//
// Thread safety: the mediator's fields are guarded by a reader/writer lock;
// writers are construction (main thread) and reloaded (main-loop thread),
// readers the control server's thread.
#ifndef KORZA_MONITOR_THREAD_SAFETY_MONITOR_H_
#define KORZA_MONITOR_THREAD_SAFETY_MONITOR_H_

#include <shared_mutex>
#include <stdexcept>
#include <string>

#include "monitor/monitor.h"

class ThreadSafetyMonitor : public Monitor {
 public:
  class Mediator {
   public:
    class Error : public std::logic_error {
     public:
      explicit Error(const std::string& what) : std::logic_error(what) {}
    };

    // The mediator of the process.
    static Mediator& instance();

    Mediator() = default;
    Mediator(const Mediator&) = delete;
    Mediator& operator=(const Mediator&) = delete;

    // Registers the supervisor. Throws Error "mediator re-initialization"
    // when one was registered before (one supervisor per process).
    void init(Monitor* monitor);
    // The registered supervisor is going away: later calls that need it
    // throw Error; the registration itself stays.
    void release(Monitor* monitor);
    void setAccount(const std::string& user, const std::string& group, const std::string& mta);
    // Hands pids to the supervisor's changed-configuration queue. Throws
    // Error when no supervisor is registered.
    void addChangedConf(const Monitor::PidSet& pids);
    // "" when user and group are both empty, else USER:GROUP.
    std::string permissions() const;
    std::string mta() const;
    std::string user() const;

   private:
    mutable std::shared_mutex lock_;
    bool initialized_ = false;    // GUARDED_BY(lock_)
    Monitor* monitor_ = nullptr;  // not owned; GUARDED_BY(lock_)
    std::string user_;            // GUARDED_BY(lock_)
    std::string group_;           // GUARDED_BY(lock_)
    std::string mta_;             // GUARDED_BY(lock_)
  };

  // Builds the Monitor, registers it and publishes its account settings.
  // Throws Mediator::Error for a second supervisor in the process.
  ThreadSafetyMonitor(const std::string& conf_file, const std::string& run_list, bool update_mode);
  ~ThreadSafetyMonitor() override;

  void reloadData() override;

 protected:
  void reloaded() override;

 private:
  void publishAccount();
};

#endif  // KORZA_MONITOR_THREAD_SAFETY_MONITOR_H_
