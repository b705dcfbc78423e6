// The applications of the catalogue and everything that concerns several
// of them at once: dependency-ordered start (standard, update and check-all
// drivers), stop with dependents first, fault and recovery routed to the
// owning application, SIGHUP to the agent's dependents after the agent
// recovered, and the queries of the supervisor's loop.
//
// Thread safety: none. Used only by the thread that drives the supervisor.
#ifndef KORZA_APPS_APP_STORE_H_
#define KORZA_APPS_APP_STORE_H_

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "apps/application.h"
#include "apps/owner_index.h"
#include "base/utils.h"

class CompStrategy;

class AppStore {
 public:
  class StartError : public std::logic_error {
   public:
    StartError() : std::logic_error("some of application cannot start") {}
  };
  class BadAppName : public std::runtime_error {
   public:
    explicit BadAppName(const std::string& app_name)
        : std::runtime_error("bad application name \"" + app_name + "\"") {}
  };

  using AppPtr = std::shared_ptr<Application>;
  using Apps = std::vector<AppPtr>;
  using RecoveryTimes = std::vector<int32_t>;
  // application name -> name of an application that depends on it
  using Dependents = std::multimap<std::string, std::string, Utils::NoCaseLess>;

  explicit AppStore(bool update_mode = false) : updateMode(update_mode) {}
  virtual ~AppStore();
  AppStore(const AppStore&) = delete;
  AppStore& operator=(const AppStore&) = delete;

  // Appends an application (catalogue order).
  void addApp(AppPtr app);
  // The application of that name (any letter case), or null.
  AppPtr find(const std::string& name) const;
  const Apps& getApps() const { return apps; }
  const Dependents& getDependents() const { return dependents; }

  // Starts the run list by the mode's driver (update, check-all or
  // standard). Exceptions of startApp reach the caller.
  void start(const Utils::NameSet& run_list, const RecoveryTimes& times,
             const std::string& agent_address, const std::string& pid_dir);
  // Starts the application after its dependencies. Throws StartError when
  // the supervisor is not running, BadAppName for an unknown name.
  bool startApp(const std::string& name, const RecoveryTimes& times, const CompStrategy& strategy);
  // Stops every application, dependents first.
  void stop();
  // Stops what depends on `app`, then `app`.
  void stopAppAndIDepends(Application& app);
  // Stops `app` (unless kept and not forced), then the applications it
  // depends on that nothing started needs any more (one level down).
  void stopAppAndDepends(Application& app, const Utils::NameSet& keep, bool force);
  // Starts what the run list needs and stops what it does not.
  void applyRunList(const Utils::NameSet& run_list, const RecoveryTimes& times);
  // Adds the entry D -> A for every dependency D of every application A.
  void buildDependents();

  // The pid of the component holding the management descriptor: 0 when
  // its application is not running, -1 when no component holds it. O(1).
  pid_t getPidByFd(int descriptor) const;
  // The management descriptors of the started components.
  void addFds(std::vector<int>& fds) const;
  // One management descriptor reached end of file: the owner's pid (> 0,
  // then the caller files the fault event and calls fault), 0 when the
  // owner's application is not running (the component is stopped and the
  // descriptor closed here), -1 when nobody holds it. O(1).
  pid_t descriptorClosed(int descriptor);
  // Told of every management descriptor taken (true) or let go (false).
  void setFdListener(OwnerIndex::FdListener listener) { index_.setFdListener(std::move(listener)); }
  void fault(pid_t p, int64_t fault_time);
  // Restarts the component with pid `p` in the named applications (all when
  // `names` is empty). After a failed attempt the component still carries
  // `p`, so the same event can be filed again.
  bool recovery(pid_t p, int64_t fault_time, uint32_t try_number, const Utils::NameSet& names);
  void cannotRecovery(pid_t p, int64_t fault_time);
  bool hasFaultPid(pid_t p) const;
  // Whether some component carries pid `p`.
  bool hasPid(pid_t p) const;
  // The application with a component of that pid, or null.
  AppPtr findByPid(pid_t p) const;
  // Stops the component whose management descriptor it is (closing it and
  // reaping the child); false when no component has it.
  bool releaseFd(int descriptor);
  void stopFaultyApps(const Utils::NameSet& keep);

  void sendSignal(int signo);
  bool sendSignalToApp(const std::string& name, int signo);
  void sendSignalToPids(const std::set<pid_t>& pids, int signo);

  size_t countStarted() const;
  size_t countAllStarted() const;
  bool isStarted(const std::string& name) const;
  bool allAppsStarted() const;
  Utils::NameSet startedAppNames() const;
  bool isUpdateMode() const { return updateMode; }
  void setUpdateMode(bool on) { updateMode = on; }

  // "<apps>...</apps>"
  std::string dump(bool runtime) const;
  // The debug listing of every application (only when debug is enabled).
  void logMetaConf() const;

 protected:
  void startStandartMode(const Utils::NameSet& run_list, const RecoveryTimes& times);
  void startUpdateMode(const RecoveryTimes& times);
  void startCheckAllMode(const Utils::NameSet& run_list, const RecoveryTimes& times,
                         const std::string& agent_address, const std::string& pid_dir);
  // SIGHUP to the started dependents of a recovered agent.
  void afterRecovery(const std::string& name);
  // Applications and components currently carrying pid `p` (a copy: the
  // caller's work may change the index).
  std::vector<std::pair<Application*, Component*>> ownersOfPid(pid_t p) const;
  // The store's shared pointer to the application, or null.
  AppPtr shared(const Application* app) const;

  // Declared before the applications: it outlives their components.
  OwnerIndex index_;
  Apps apps;
  bool updateMode;
  Dependents dependents;
};

#endif  // KORZA_APPS_APP_STORE_H_
