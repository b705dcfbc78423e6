// One supervised child process of an application: its launch (pipe, fork,
// descriptor and signal set-up, privilege drop, exec), the one-byte answer
// that tells the monitor the child is up, the check-mode report, the stop
// (SIGTERM, then SIGKILL after the stop time-out) and the fault report.
//
// The child's contract: it writes one blank on standard output when it is
// up and keeps standard output open while it runs (end of file on the
// management descriptor means it has gone); it stops on SIGTERM and rereads
// its configuration on SIGHUP.
//
// Thread safety: none. A component is used by one thread at a time, the one
// that drives the applications.
#ifndef KORZA_APPS_COMPONENT_H_
#define KORZA_APPS_COMPONENT_H_

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "apps/informer.h"
#include "base/utils.h"
#include "config/app_config.h"

class Application;
class Component;
class CompStrategy;

// Kept in step with the management descriptor and the pid of every
// component attached to it, so that the owner of either is found without a
// walk over all components. Components call it whenever one of them
// changes, when they move in memory and when they go away.
class ComponentIndex {
 public:
  virtual ~ComponentIndex() = default;
  // `old_fd` / `old_pid`: the value before (-1: none).
  virtual void fdChanged(Component& comp, int old_fd) = 0;
  virtual void pidChanged(Component& comp, pid_t old_pid) = 0;
  virtual void moved(Component& from, Component& to) = 0;
  virtual void removed(Component& comp) = 0;
};

class Component {
 public:
  class StopedHimself : public std::runtime_error {
   public:
    StopedHimself() : std::runtime_error("component stoped himself") {}
  };
  class ComponentError : public std::logic_error {
   public:
    explicit ComponentError(const std::string& what) : std::logic_error(what) {}
  };

  // The account a component runs as and how its faults are reported. Most
  // components of a suite have the same: components configured alike share
  // one record.
  struct Settings {
    std::string user;   // empty: keep the monitor's user
    std::string group;  // empty: keep the monitor's group
    int logType = kLogTypeMail;
    std::string logCommand;
  };

  // What the status query reports about the instances so far.
  struct History {
    int64_t lastStart = 0;      // time of the last successful start; 0: never
    int32_t restarts = 0;       // successful restarts after a fault
    int64_t lastFaultTime = 0;  // 0: no fault yet
    std::string lastFault;      // "killed by signal 9", "exited with status 1", ...
    bool givenUp = false;       // the recovery list was used up; cleared by a start
  };

  explicit Component(const ComponentConf& conf);
  ~Component();
  // A component owns its descriptor and informer: it moves, it does not copy.
  Component(Component&& other) noexcept;
  Component& operator=(Component&& other) noexcept;
  Component(const Component&) = delete;
  Component& operator=(const Component&) = delete;

  const std::string& getName() const { return name; }
  const std::string& getArgv() const { return argv; }
  const std::string& getUser() const { return settings_->user; }
  const std::string& getGroup() const { return settings_->group; }
  uint32_t getTimeStart() const { return timeStart; }
  uint32_t getTimeStop() const { return timeStop; }
  int getLogType() const { return settings_->logType; }
  const std::string& getLogCommand() const { return settings_->logCommand; }
  Informer* getInformer() const { return informer.get(); }
  // user + ":" + group
  std::string permissions() const { return getUser() + ":" + getGroup(); }
  pid_t getPid() const { return pid; }
  pid_t getFaultPid() const { return faultPid; }
  int getFd() const { return fd; }
  bool isStarted() const { return started; }
  bool isAgent() const { return agent; }
  bool hasFd(int descriptor) const { return fd == descriptor; }
  bool hasPid(pid_t p) const { return pid == p; }
  bool hasFaultPid(pid_t p) const { return faultPid == p; }
  const History& history() const { return history_; }
  // Records a fault (a death or a failed start) for the status query.
  // The last line the component wrote to its standard error is added when
  // it came within a second of the end of the instance.
  void noteFault(int64_t when, const std::string& cause);
  // Id lookups of user / group; throw Utils::error.
  uid_t userId() const { return Utils::userId(getUser()); }
  gid_t groupId() const { return Utils::groupId(getGroup()); }
  // The ids the component runs with (a user without a group brings its
  // primary group). Throws Utils::error for an unknown account.
  Utils::Account account() const { return Utils::resolveAccount(getUser(), getGroup()); }

  void setStarted(bool value) { started = value; }
  void setFd(int descriptor) { assignFd(descriptor); }
  // Closes the management descriptor if open; fd becomes -1.
  void closeFd();
  void setLogType(int type, const std::string& command);
  // After a failed restart attempt of a component that is not running: it
  // carries again the pid of the instance whose fault is being recovered.
  void setPidAfterFailedRecovery(pid_t p) {
    if (!started) assignPid(p);
  }
  // Reports every later change of fd and pid to `index` (null: none) and
  // names the application the component belongs to.
  void attach(ComponentIndex* index, Application* owner);
  Application* owner() const { return owner_; }

  // Replaces the informer by a new one built from logType / logCommand.
  // Throws std::runtime_error from the informer factory.
  void createInformer();
  // Hands the text to the informer; logs "cannot inform. Message=" + text
  // when there is none or it fails.
  void inform(const std::string& text);

  // Standard start: launch, then wait timeStart seconds for the answer. On
  // success the component is started and fd is its management descriptor;
  // with a fault time above 0 the recovery notice is sent. Throws
  // StopedHimself when the child exited by itself after a wrong answer,
  // std::runtime_error with the reason otherwise, std::logic_error when
  // already started.
  void startStandart(const CompStrategy& strategy, const std::string& app_path, int64_t fault_time,
                     uint32_t try_number, const std::string& app_full_name);
  // Check-mode run: launch, then copy the child's report to standard error.
  // Failures set conf_warning_issued and are printed, not thrown (except
  // std::logic_error when already started).
  void startCheckOnly(const CompStrategy& strategy, const std::string& app_path);

  // Launch common to both start paths; started becomes true. The second-pipe
  // descriptor is -1 when there is none.
  // NOLINTNEXTLINE(bugprone-reserved-identifier): the name the log lines use.
  void __start(const CompStrategy& strategy, const std::string& app_path, int& answer_fd,
               int& err_fd, pid_t& child);
  // The fork and exec. Pass err_fd == -1 to ask for a second pipe for the
  // child's standard error (0: none). Throws std::runtime_error
  // "create pipe error" / "fork() error".
  bool startComp(const CompStrategy& strategy, const std::string& app_path, int& answer_fd,
                 int& err_fd, pid_t& child);

  // Stops a started component; true when the child ended by exit.
  bool stop(bool fault);
  // SIGTERM to the child's process group, then SIGKILL to it when the child
  // has not ended timeStop seconds later; the wait wakes as soon as the child
  // ends. Reaps the child. True when it ended by exit rather than by a signal.
  bool stopPid(pid_t p);

  // The management descriptor of instance `p` closed. True when the child
  // stopped by itself (no report sent).
  bool fault(pid_t p, int64_t fault_time, const std::string& app_full_name,
             const std::string& app_path, const Utils::NameSet& dependents);
  // Sends the cannot-recover notice.
  void cannotRecovery(int64_t fault_time, const std::string& app_full_name,
                      const std::string& app_path);

  void sendSignal(int signo);
  // If pid is in `pids`, removes it and sends the signal.
  void sendSignalIfIn(std::set<pid_t>& pids, int signo);
  // Appends fd to the list when started with an open descriptor.
  bool addFd(std::vector<int>& fds) const;

  // Takes over the settings of a freshly parsed record. True when the
  // argument string or the permissions changed (effective at the next
  // start).
  bool reconfig(const ComponentConf& conf);

  // "<comp name=... />"; with `runtime` also fd and pid.
  std::string dump(bool runtime) const;
  // The line of the debug listing of an application.
  std::string metaConfLine() const;

  // The argument string split into arguments (quotes group, blanks
  // separate).
  static std::vector<std::string> splitArguments(const std::string& text);

 private:
  // Closes the second pipe's read end if open (check-all mode).
  void closeErrFd();
  // Lets go of the standard-error pipe whose lines go to the log; keeps the
  // last line when it was recent, for noteFault().
  void releaseStderr();
  // Logs the child's own account of a launch step that failed (read from
  // the report pipe without waiting) and closes that pipe.
  void logLaunchReport();
  // Reaps the child if it has already ended; then closes the answer
  // descriptor (answer_fd becomes -1), stops the component and throws as
  // described for the start answer. Returns when the child still runs.
  void checkEarlyDeath(int& answer_fd);
  // Every change of fd / pid goes through these, so the index follows.
  void assignFd(int descriptor);
  void assignPid(pid_t p);

  std::string name;
  std::string argv;
  uint32_t timeStart = 30;
  uint32_t timeStop = 30;
  std::shared_ptr<const Settings> settings_;  // never null
  // The log and mail informers are shared by every component.
  std::shared_ptr<Informer> informer;
  int fd = -1;     // management descriptor; -1 when closed
  pid_t pid = -1;  // the last child's pid; -1 when found dead at start
  bool started = false;
  pid_t faultPid = -1;  // the last instance that ended by a signal
  bool agent = false;
  int errFd = -1;              // read end of the standard-error pipe (check-all mode, or logged)
  bool stderrLogged_ = false;  // errFd belongs to the standard-error collector
  // The recent last line of the instance that ended; null when none (most
  // of the time, so it costs a pointer).
  std::unique_ptr<std::string> lastWords_;
  // Read end of the launch-report pipe of the last start (close-on-exec in
  // the child: it carries a message only when a step before exec failed).
  int reportFd = -1;

  int lastWaitStatus_ = -1;  // wait status of the last child reaped by stopPid; -1: unknown
  History history_;
  ComponentIndex* index_ = nullptr;  // not owned; follows this object on a move
  Application* owner_ = nullptr;     // not owned
};

#endif  // KORZA_APPS_COMPONENT_H_
