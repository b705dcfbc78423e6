// The supervisor: owns the settings, the application store and the fault
// schedule, starts the run set and runs the main loop on its own thread.
//
// Thread safety: the run state, the reload request and the main-loop flag
// each have their own mutex, never nested. start/stop and the signal
// operations run on the main thread, mainLoop on mainLoopThread.
#ifndef KORZA_MONITOR_MONITOR_H_
#define KORZA_MONITOR_MONITOR_H_

#include <sys/types.h>

#include <condition_variable>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>

#include "base/utils.h"
#include "config/app_catalogue.h"
#include "config/conf_reader.h"
#include "monitor/signal_executor.h"

class Monitor : public SignalExecutor {
 public:
  class InitError : public std::runtime_error {
   public:
    explicit InitError(const std::string& what) : std::runtime_error(what) {}
  };

  enum State { INIT = 1, STARTED = 2, STOPPED = 3, END = 4 };
  static const char* stateName(State state);

  using NameSet = Utils::NameSet;

  // Reads the settings from `conf_file` and the application catalogue from
  // their meta-configuration directory. Throws conf_store_exception_t (file
  // missing, required key absent) or std::runtime_error (a broken ".mmc"
  // file, an unreadable directory).
  Monitor(const std::string& conf_file, const std::string& run_list, bool update_mode);
  ~Monitor() override;

  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;

  // Runs until the run state leaves STARTED.
  virtual void mainLoop();
  // Starts the applications of the first run set.
  virtual void start();
  // Waits for the main loop to finish, then stops all applications.
  virtual void stop();

  // Fills `out` with the first run set and verifies it against the
  // catalogue (throws AppCatalogue::VerifyError).
  void getFirstRunAppSet(NameSet& out);
  // Fills `out` with the current run set and verifies it.
  void getRunAppSet(NameSet& out);

  // Rereads the settings from the configuration file.
  virtual void reloadData();

  // Signal operations (main thread).
  void reload(int signo, const std::string& name) override;
  void terminate(int signo, const std::string& name) override;
  void inform(int signo, const std::string& name) override;

  // setState(true) stores STARTED, setState(false) STOPPED.
  void setState(bool started);
  State getState() const;
  bool isRunning() const { return getState() == STARTED; }

  void setPid(pid_t pid) { pid_ = pid; }
  pid_t getPid() const { return pid_; }

  const std::string& confFile() const { return settings.confFile(); }
  bool updateMode() const { return update_mode_; }

  // Settings used by the daemon set-up.
  const std::string& getLogFileName() const { return settings.getLogFileName(); }
  const std::string& getUser() const { return settings.getUser(); }
  const std::string& getGroup() const { return settings.getGroup(); }
  const std::string& getChDir() const { return settings.getChDir(); }
  const std::string& getPidFileDir() const { return settings.getPidFileDir(); }
  bool getRunForeground() const { return settings.getRunForeground(); }

  // The configured uid / gid of the first component that does not run as
  // root, or 0 when there is none.
  unsigned int firstNotRootUID() const;
  unsigned int firstNotRootGID() const;

  const MonitorConfReader& getSettings() const { return settings; }
  const AppCatalogue& getCatalogue() const { return catalogue; }

 private:
  // Hands freshly read settings to the parts built from them: the
  // notification context (program title, system, version, host name,
  // recovery-time list) and the deferred-event store. Those parts do not
  // exist yet, so this does nothing for now.
  void applySettings();
  // Makes the monitor the Regenerator of every application of the store;
  // nothing to do until the store holds running applications.
  void attachApplications();

  bool update_mode_;
  // The catalogue of applications; the application store will own it.
  AppCatalogue catalogue;
  NameSet cmdRunSet;

  mutable std::mutex state_mutex_;
  State state_ = INIT;  // GUARDED_BY(state_mutex_)

  std::mutex loop_mutex_;
  std::condition_variable loop_cond_;
  bool inMainLoop = false;  // GUARDED_BY(loop_mutex_)

  std::mutex reload_mutex_;
  bool reloadRequested = false;  // GUARDED_BY(reload_mutex_)

  pid_t pid_ = -1;
  MonitorConfReader settings;
};

#endif  // KORZA_MONITOR_MONITOR_H_
