// The supervisor: owns the settings, the application store with its
// catalogue, the fault-event schedule and the changed-configuration queue;
// starts the run set and runs the main loop on its own thread, where every
// start, stop and restart of a component happens after start-up.
//
// Thread safety: the run state (process-wide, RunState), the reload
// request, the main-loop flag, the changed-configuration queue and the
// status snapshot each have their own mutex, never nested. start, stop and
// the signal operations run on the main thread; mainLoop, reload and
// changedConfReload on mainLoopThread; addChangedConf and statusSnapshot
// may be called from any thread.
#ifndef KORZA_MONITOR_MONITOR_H_
#define KORZA_MONITOR_MONITOR_H_

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "apps/deferred_event_store.h"
#include "apps/regenerator.h"
#include "apps/run_app_store.h"
#include "apps/run_state.h"
#include "base/utils.h"
#include "config/conf_reader.h"
#include "ipc/kz_session.h"
#include "ipc/kz_status_proto.h"
#include "monitor/management_fds.h"
#include "monitor/signal_executor.h"

class Monitor : public Regenerator, public SignalExecutor {
 public:
  class InitError : public std::runtime_error {
   public:
    explicit InitError(const std::string& what) : std::runtime_error(what) {}
  };

  using State = RunState::State;
  using NameSet = Utils::NameSet;
  using PidSet = std::set<int>;

  // Reads the settings from `conf_file` and the application catalogue from
  // their meta-configuration directory. Throws conf_store_exception_t (file
  // missing, required key absent) or std::runtime_error (a broken ".mmc"
  // file, an unreadable directory).
  Monitor(const std::string& conf_file, const std::string& run_list, bool update_mode);
  ~Monitor() override;

  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;

  // Regenerator: called by the applications.
  void regenerate(const NameSet& apps) override;
  void appStarted(Application& app) override;
  void appStopped(Application& app) override;

  // Runs until the run state leaves STARTED.
  virtual void mainLoop();
  // Starts the applications of the first run set. Throws InitError when
  // none of them is running afterwards.
  virtual void start();
  // Waits for the main loop to finish, then stops all applications.
  virtual void stop();
  // The full reload: settings, catalogue, running applications, SIGHUP to
  // every running component. A reload that fails changes nothing.
  virtual void reload();
  // Rereads the settings and hands them to the notifications and the
  // fault schedule.
  virtual void reloadData();
  // Drains the changed-configuration queue: SIGHUP to the components and
  // announced processes concerned, a full reload for the monitor's own pid.
  virtual void changedConfReload();

  // Fills `out` with the first run set and verifies it against the
  // catalogue (throws RunAppStore::VerifyError).
  void getFirstRunAppSet(NameSet& out);
  // Fills `out` with the current run set and verifies it. In enterprise
  // mode the run list is asked from the agent first.
  void getRunAppSet(NameSet& out) { getRunAppSet(out, appStore); }

  // Creates the one session to the first agent address (its ".tmp" twin in
  // check-all mode) unless there is one. No connection is made here: the
  // session connects when a report or a settings request is due, and does
  // not retry while nothing is to be sent.
  void connectToAgent();
  // Replaces the session by a fresh one (after a reload).
  void reconnectToAgent();
  // Makes the agent session (a new one with `replace`, else only when none
  // exists); without an agent address there is none.
  void openAgentSession(bool replace);

  // Changed-configuration queue (any thread); adding wakes the main loop.
  void addChangedConf(const PidSet& pids);

  // Restarts the named components ("APP" for every component of an
  // application in its start order, "APP/COMPONENT" for one) without a
  // fault: no notice, no fault event, not counted among the fault restarts.
  // The main loop carries it out; the call returns once every new instance
  // has answered or failed (a failed start then follows the recovery
  // schedule), or the daemon stops. Any thread. Returns the success flag and
  // one line per component, or why nothing was done.
  std::pair<bool, std::string> restartComponents(const std::vector<std::string>& targets,
                                                 uid_t requester);

  // Ends the main loop's current wait (any thread): for a request that it
  // must see now, such as an update whose pre-update step succeeded.
  void wake() { fds_.wake(); }
  void getChangedConf(PidSet& out);

  // Signal operations (main thread).
  void reload(int signo, const std::string& name) override;
  void terminate(int signo, const std::string& name) override;
  void inform(int signo, const std::string& name) override;

  // setState(true) stores STARTED, setState(false) STOPPED.
  void setState(bool started);
  State getState() const { return RunState::get(); }
  bool isRunning() const { return getState() == RunState::STARTED; }

  void setPid(pid_t pid) { pid_ = pid; }
  pid_t getPid() const { return pid_; }

  const std::string& confFile() const { return settings.confFile(); }
  bool updateMode() const { return appStore.isUpdateMode(); }

  // Settings used by the daemon set-up.
  const std::string& getLogFileName() const { return settings.getLogFileName(); }
  const std::string& getUser() const { return settings.getUser(); }
  const std::string& getGroup() const { return settings.getGroup(); }
  const std::string& getChDir() const { return settings.getChDir(); }
  const std::string& getPidFileDir() const { return settings.getPidFileDir(); }
  bool getRunForeground() const { return settings.getRunForeground(); }

  // The configured uid / gid of the first component that does not run as
  // root, or 0 when there is none. Unknown account names throw.
  unsigned int firstNotRootUID() const;
  unsigned int firstNotRootGID() const;

  // The status published last (after start, and whenever the main loop
  // has changed something it shows); null before the start. Its time says
  // up to when it is known to hold: now while the main loop sleeps, the
  // moment it woke while it works (a restart, a reload, a stop), the
  // moment it was taken during the start. Any thread.
  korza::postd::StatusSnapshotPtr statusSnapshot() const;

  // Tests: the main loop's passes so far, and whether it sleeps now.
  uint64_t TEST_passes() const { return passes_; }
  bool TEST_idle() const { return idle_; }

  const MonitorConfReader& getSettings() const { return settings; }
  const RunAppStore& getAppStore() const { return appStore; }

 protected:
  // One pass of the main loop: a requested reload, then the wait until a
  // component dies, the next restart is due or another thread wakes the
  // loop, then the faults, the due restarts, a pending update and the
  // changed-configuration queue.
  void runIteration();
  // Looks at the management descriptors for at most `timeout_ms` and files
  // a fault event for every component whose descriptor reached end-of-file.
  void checkFaults(int timeout_ms) { fileFaults(fds_.wait(timeout_ms, false)); }
  // How long the main loop may sleep: until the next fault event is due,
  // or without limit (-1).
  int waitTimeout() const;
  // Runs the restarts that are due (of the named applications; all when
  // empty).
  void processDeferredEvents(const NameSet& apps);
  // Copies the store's state into a fresh status snapshot; a failure is
  // logged and the previous snapshot stays.
  void publishStatus();

  // Called once a reload has succeeded, with the settings it produced, and
  // again after the agent has been asked; a failed reload does not call it.
  virtual void reloaded() {}

  // getRunAppSet, verified against `catalogue` (a reload checks the run set
  // against the catalogue it has just read).
  void getRunAppSet(NameSet& out, const RunAppStore& catalogue);

  RunAppStore appStore;

 private:
  // Hands one report to the agent reporter; the outcome is only logged.
  // Never waits for the agent: neither a start nor a restart is held up by
  // an agent that does not answer.
  void reportToAgent(const std::shared_ptr<korza::ipc::KzClientProtocol>& report,
                     const std::string& untold);
  // The agent reporter's thread: sends the queued reports in order, each
  // bounded by the AgentResponseTime it was queued with.
  void agentReporter();
  // Creates the session when an agent is configured; whether there is one.
  bool haveAgentSession();
  // Stops the reporter, cancelling a report in flight; queued ones are
  // dropped.
  void stopAgentReporter();
  // Hands freshly read settings to the parts built from them: the
  // notification context, the mail transfer command and the fault schedule.
  void applySettings();
  // The recovery list is used up (or empty): the cannot-recover notice, then
  // the applications with a stopped component are stopped, keeping what the
  // run set needs.
  void giveUp(const FaultEvent& event);
  // Logs the run set's verification failure; returns an empty set then.
  NameSet runSetOrEmpty();
  void waitLoopEnd();
  // Files a fault event for the component of each closed descriptor.
  void fileFaults(const std::vector<int>& closed);
  // Publishes the status if something it shows may have changed since the
  // last publication.
  void publishIfChanged();

  NameSet cmdRunSet;
  DeferredEventStore deferredEvents;

  std::mutex loop_mutex_;
  std::condition_variable loop_cond_;
  bool inMainLoop = false;  // GUARDED_BY(loop_mutex_)

  std::mutex reload_mutex_;
  bool reloadRequested = false;  // GUARDED_BY(reload_mutex_)

  // Written under agent_mutex_ (by the threads that start and stop
  // applications and reload); the reporter copies it under agent_mutex_.
  std::shared_ptr<korza::ipc::KzClientSession> agentSession;
  // The session the reporter thread is sending over (a reload may have
  // replaced agentSession meanwhile); a stop cancels the report there.
  std::shared_ptr<korza::ipc::KzClientSession> agentInFlight_;  // GUARDED_BY(agent_mutex_)
  struct AgentReport {
    std::shared_ptr<korza::ipc::KzClientProtocol> report;
    int32_t timeout_s;
    std::string untold;  // logged when the agent could not be told
  };
  std::mutex agent_mutex_;
  std::condition_variable agent_cond_;
  std::deque<AgentReport> agentReports_;  // GUARDED_BY(agent_mutex_)
  bool agentStop_ = false;                // GUARDED_BY(agent_mutex_)
  std::thread agentThread_;

  std::mutex changed_mutex_;
  PidSet changedConf;  // GUARDED_BY(changed_mutex_)

  // Restart requests of control clients, carried out by the main loop.
  struct RestartRequest {
    std::vector<std::string> targets;
    uid_t requester = 0;
    bool done = false;  // GUARDED_BY(restart_mutex_)
    bool ok = false;
    std::string text;
  };
  void processRestarts();
  void carryOut(RestartRequest& request);
  std::mutex restart_mutex_;
  std::condition_variable restart_cond_;
  std::deque<std::shared_ptr<RestartRequest>> restarts_;  // GUARDED_BY(restart_mutex_)

  mutable std::mutex status_mutex_;
  mutable korza::postd::StatusSnapshotPtr status_;  // GUARDED_BY(status_mutex_)
  int64_t startTime_ = 0;                           // when start() began
  // True while the main loop sleeps with nothing left to do.
  std::atomic<bool> idle_{false};
  // When the main loop last woke (wall clock; 0: never).
  std::atomic<int64_t> wokeAt_{0};
  std::atomic<uint64_t> passes_{0};
  // Main-loop thread: something the status shows may have changed, and the
  // descriptor changes counted at the last publication.
  bool statusChanged_ = false;
  uint64_t publishedChanges_ = 0;
  // Main-loop thread: the last pass did work after its checks; the next
  // one looks without sleeping.
  bool rescan_ = false;

  pid_t pid_ = -1;
  MonitorConfReader settings;
  // The running components' management descriptors and the wake pipe the
  // main loop sleeps on.
  ManagementFds fds_;
  // The watch installed before this monitor's, put back when it goes.
  ManagementFdWatch* previousWatch_ = nullptr;
};

#endif  // KORZA_MONITOR_MONITOR_H_
