// A named group of components that share a directory and are started one
// after the other (retrying on the recovery schedule during start-up) and
// stopped in reverse order.
//
// Thread safety: none. Used only by the thread that drives the supervisor.
#ifndef KORZA_APPS_APPLICATION_H_
#define KORZA_APPS_APPLICATION_H_

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "apps/component.h"
#include "base/utils.h"
#include "config/app_config.h"

class CompStrategy;
class Regenerator;

class Application : public std::enable_shared_from_this<Application> {
 public:
  using Components = std::vector<Component>;

  explicit Application(const ApplicationConf& conf);
  ~Application();
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  const std::string& getName() const { return name; }
  const std::string& getFullName() const { return fullName; }
  const std::string& getPath() const { return path; }
  const Utils::NameSet& getDeps() const { return deps; }
  Components& getComponents() { return components; }
  const Components& getComponents() const { return components; }
  bool isStarted() const { return started; }
  void setRegenerator(Regenerator* r) { regenerator = r; }
  Regenerator* getRegenerator() const { return regenerator; }
  // Attaches every component, now and later, to `index` (null: none).
  void setIndex(ComponentIndex* index);

  // Starts the components in order; a component that fails is retried after
  // each interval of `recovery_times` while the supervisor is not stopping.
  // On failure the components started so far are stopped (started stays
  // true) and the result is false.
  bool start(const std::vector<int32_t>& recovery_times, const CompStrategy& strategy);
  // Stops the components in reverse order; nothing when not started.
  void stop();
  // Starts one component; false (logged) when it could not be started.
  // std::logic_error (already started) passes through.
  bool startComp(Component& comp, int64_t fault_time, uint32_t try_number,
                 const CompStrategy& strategy);
  // Restarts the components whose pid is `p`; true when one started.
  // Nothing (false) while the application is stopped.
  bool recovery(pid_t p, int64_t fault_time, uint32_t try_number);
  // Hands a closed management descriptor to the components; true when the
  // owning child stopped by itself.
  bool fault(pid_t p, int64_t fault_time, const Utils::NameSet& dependents);
  // The same for one component of this application, found by the caller.
  bool faultOf(Component& comp, pid_t p, int64_t fault_time, const Utils::NameSet& dependents);
  // Restarts one component of this application that carries pid `p`; the
  // rest as recovery.
  bool recoverComponent(Component& comp, pid_t p, int64_t fault_time, uint32_t try_number);
  // The cannot-recover notice of the component with that pid; false when
  // none has it.
  bool cannotRecovery(pid_t p, int64_t fault_time);

  // Takes over a freshly parsed record; true when something that needs a
  // restart changed.
  bool reconfig(const ApplicationConf& conf, const std::vector<int32_t>& recovery_times);
  bool reconfigComponents(const ApplicationConf& conf);
  void reconfigDeps(const Utils::NameSet& new_deps);

  pid_t getPidByFd(int descriptor) const;
  // Stops the component whose management descriptor it is; false when none.
  bool releaseFd(int descriptor);
  void addFds(std::vector<int>& fds) const;
  bool allStarted() const;
  bool hasStoppedComponent() const;
  bool hasFaultPid(pid_t p) const;
  // Whether some component carries this pid.
  bool hasPid(pid_t p) const;
  bool dependsOn(const std::string& app_name) const { return deps.count(app_name) != 0; }
  Components::iterator findComponent(const std::string& comp_name);
  void addComponent(const ComponentConf& conf);
  // Appends a component built from the record, attached to the index.
  Component& appendComponent(const ComponentConf& conf);

  void sendSignal(int signo);
  void sendSignalToPids(std::set<pid_t>& pids, int signo);

  // For the agent's application report: the first component's pid (0
  // without components), the sorted distinct permissions joined by ",",
  // the argument string of the only component (else "").
  pid_t firstPid() const;
  std::string permissionsList() const;
  std::string singleArgv() const;

  // "<app ...><comps>...</comps></app>"
  std::string dump(bool runtime) const;
  // Writes the debug listing, one log line each.
  void logMetaConf() const;
  // "component \"C\" from application \"A\""
  std::string componentLabel(const Component& comp) const;

  // Replaces the sleep between start retries (seconds); null restores the
  // real one. For tests.
  static void TEST_setSleeper(std::function<void(unsigned)> sleeper);

 private:
  // Sleeps `seconds` in 5-second steps, giving up when the supervisor
  // state becomes STOPPED.
  static void sleepRetry(unsigned seconds);

  std::string name;
  std::string fullName;
  std::string path;
  Utils::NameSet deps;
  Components components;
  Regenerator* regenerator = nullptr;  // not owned; may be null
  ComponentIndex* index_ = nullptr;    // not owned; may be null
  bool started = false;
};

#endif  // KORZA_APPS_APPLICATION_H_
