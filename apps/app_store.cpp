#include "apps/app_store.h"

#include <cassert>
#include <csignal>

#include "apps/comp_strategy.h"
#include "apps/run_state.h"
#include "base/flags.h"
#include "base/log.h"

namespace {

using korza::monitorLog;

const char* const kAgent = "AGENT";

}  // namespace

AppStore::AppPtr AppStore::find(const std::string& name) const {
  for (const auto& app : apps) {
    if (Utils::equalsNoCase(app->getName(), name)) return app;
  }
  return nullptr;
}

void AppStore::buildDependents() {
  for (const auto& app : apps) {
    for (const auto& dep : app->getDeps()) dependents.emplace(dep, app->getName());
  }
}

void AppStore::start(const Utils::NameSet& run_list, const RecoveryTimes& times,
                     const std::string& agent_address, const std::string& pid_dir) {
  monitorLog().debug("AppStop::start()");
  buildDependents();
  if (updateMode) {
    startUpdateMode(times);
  } else if (checkAll) {
    startCheckAllMode(run_list, times, agent_address, pid_dir);
  } else {
    startStandartMode(run_list, times);
  }
}

void AppStore::startStandartMode(const Utils::NameSet& run_list, const RecoveryTimes& times) {
  monitorLog().debug("AppStop::startStandartMode()");
  StandartCompStrategy strategy;
  for (const auto& name : run_list) startApp(name, times, strategy);
}

void AppStore::startUpdateMode(const RecoveryTimes& times) {
  monitorLog().debug("AppStop::startUpdateMode()");
  startApp(kAgent, times, UpdateCompStrategy());
}

void AppStore::startCheckAllMode(const Utils::NameSet& run_list, const RecoveryTimes& times,
                                 const std::string& agent_address, const std::string& pid_dir) {
  monitorLog().debug("AppStop::startCheckAllMode()");
  const std::string socket = agent_address + ".tmp";
  const std::string pid_file = pid_dir + "korza-agent.tmp.pid";
  startApp(kAgent, times, CheckOnlyStrategy());
  stop();
  startApp(kAgent, times, ChangeSocketStrategy(socket, pid_file));
  const CheckOnlyWithAlternativeAgentStrategy others(socket);
  for (const auto& name : run_list) {
    if (!Utils::equalsNoCase(name, kAgent)) startApp(name, times, others);
  }
}

bool AppStore::startApp(const std::string& name, const RecoveryTimes& times,
                        const CompStrategy& strategy) {
  monitorLog().debug("AppStore::startApp( " + name + " )");
  const AppPtr app = find(name);
  if (RunState::get() != RunState::STARTED) throw StartError();
  if (!app) throw BadAppName(name);
  // Copied: a reconfiguration during a dependency's start may replace it.
  const Utils::NameSet deps = app->getDeps();
  for (const auto& dep : deps) {
    if (!startApp(dep, times, strategy)) {
      monitorLog().error("application \"" + name +
                         "\" cannot start, because of depends application \"" + dep +
                         "\" not started");
      return false;
    }
  }
  if (!app->allStarted() && !app->start(times, strategy)) {
    monitorLog().error("application \"" + name + "\" cannot start");
    return false;
  }
  return true;
}

void AppStore::stop() {
  monitorLog().debug("AppStore::stop()");
  for (const auto& app : apps) {
    stopAppAndIDepends(*app);
    app->stop();
  }
}

void AppStore::stopAppAndIDepends(Application& app) {
  if (!app.isStarted()) return;
  monitorLog().debug("AppStop::stopAppAndIDepends() name=" + app.getName());
  const auto range = dependents.equal_range(app.getName());
  for (auto it = range.first; it != range.second; ++it) {
    const AppPtr dependent = find(it->second);
    if (dependent) stopAppAndIDepends(*dependent);
  }
  if (app.isStarted()) app.stop();
}

void AppStore::stopAppAndDepends(Application& app, const Utils::NameSet& keep, bool force) {
  if (!app.isStarted()) return;
  monitorLog().debug("AppStop::stopAppAndDepends() name=" + app.getName());
  if (!force && keep.count(app.getName()) != 0) return;
  app.stop();
  for (const auto& x : apps) {
    if (!app.dependsOn(x->getName()) || keep.count(x->getName()) != 0) continue;
    bool needed = false;
    for (const auto& other : apps) {
      if (other.get() != &app && other->isStarted() && other->dependsOn(x->getName())) {
        needed = true;
        break;
      }
    }
    if (needed) continue;
    monitorLog().info("application " + x->getName() + " going to stop, " +
                      "because no one application depend on it now");
    x->stop();
  }
}

void AppStore::stopFaultyApps(const Utils::NameSet& keep) {
  for (const auto& app : apps) {
    if (!app->isStarted() || !app->hasStoppedComponent()) continue;
    monitorLog().alert("one component from application " + app->getName() +
                       " is fault. The application will be stoped");
    stopAppAndDepends(*app, keep, true);
  }
}

void AppStore::applyRunList(const Utils::NameSet& run_list, const RecoveryTimes& times) {
  Utils::NameSet needed;
  std::vector<std::string> pending(run_list.begin(), run_list.end());
  while (!pending.empty()) {
    const std::string name = pending.back();
    pending.pop_back();
    if (!needed.insert(name).second) continue;
    const AppPtr app = find(name);
    if (!app) continue;
    for (const auto& dep : app->getDeps()) pending.push_back(dep);
  }
  StandartCompStrategy strategy;
  for (const auto& app : apps) {
    const bool is_needed = needed.count(app->getName()) != 0;
    try {
      if (!is_needed && app->isStarted()) {
        monitorLog().info("application \"" + app->getName() + "\" must be stoped");
        app->stop();
      } else if (is_needed && !app->isStarted()) {
        monitorLog().info("application \"" + app->getName() + "\" must be started");
        app->start(times, strategy);
      }
    } catch (const std::exception& e) {
      // One application's trouble does not keep the others from their state.
      monitorLog().error("application \"" + app->getName() + "\" cannot start: " + e.what());
    }
  }
}

AppStore::~AppStore() {
  // An application may outlive the store (a caller still holds it): its
  // components must not report to an index that is gone.
  for (const auto& app : apps) app->setIndex(nullptr);
}

void AppStore::addApp(AppPtr app) {
  app->setIndex(&index_);
  apps.push_back(std::move(app));
}

AppStore::AppPtr AppStore::shared(const Application* app) const {
  if (app == nullptr) return nullptr;
  if (AppPtr held = const_cast<Application*>(app)->weak_from_this().lock()) return held;
  for (const auto& a : apps) {
    if (a.get() == app) return a;
  }
  return nullptr;
}

std::vector<std::pair<Application*, Component*>> AppStore::ownersOfPid(pid_t p) const {
  std::vector<std::pair<Application*, Component*>> out;
  for (Component* comp : index_.byPid(p)) {
    if (comp->owner() != nullptr) out.emplace_back(comp->owner(), comp);
  }
  return out;
}

pid_t AppStore::getPidByFd(int descriptor) const {
  const Component* comp = index_.byFd(descriptor);
  if (comp == nullptr || comp->owner() == nullptr) return -1;
  return comp->owner()->isStarted() ? comp->getPid() : 0;
}

void AppStore::addFds(std::vector<int>& fds) const {
  std::vector<int> held;
  index_.descriptors(held);
  for (int fd : held) {
    const Component* comp = index_.byFd(fd);
    if (comp != nullptr && comp->isStarted()) fds.push_back(fd);
  }
}

pid_t AppStore::descriptorClosed(int descriptor) {
  Component* comp = index_.byFd(descriptor);
  if (comp == nullptr || comp->owner() == nullptr) return -1;
  if (comp->owner()->isStarted()) return comp->getPid();
  // Consumed all the same (closed, the child reaped), or it would stay at
  // end of file in every wait.
  comp->stop(true);
  return 0;
}

void AppStore::fault(pid_t p, int64_t fault_time) {
  for (const auto& owner : ownersOfPid(p)) {
    Utils::NameSet deps_of_app;
    const auto range = dependents.equal_range(owner.first->getName());
    for (auto it = range.first; it != range.second; ++it) deps_of_app.insert(it->second);
    if (owner.first->faultOf(*owner.second, p, fault_time, deps_of_app)) break;
  }
}

bool AppStore::recovery(pid_t p, int64_t fault_time, uint32_t try_number,
                        const Utils::NameSet& names) {
  for (const auto& owner : ownersOfPid(p)) {
    Application* app = owner.first;
    if (!names.empty() && names.count(app->getName()) == 0) continue;
    if (app->recoverComponent(*owner.second, p, fault_time, try_number)) {
      afterRecovery(app->getName());
      return true;
    }
  }
  return false;
}

void AppStore::afterRecovery(const std::string& name) {
  if (!Utils::equalsNoCase(name, kAgent)) return;
  Utils::NameSet signalled;
  const auto range = dependents.equal_range(name);
  for (auto it = range.first; it != range.second; ++it) {
    assert(Utils::equalsNoCase(it->first, name));
    if (!signalled.insert(it->second).second) continue;
    const AppPtr dependent = find(it->second);
    assert(dependent);
    if (!dependent || !dependent->isStarted()) continue;
    monitorLog().info("Sending SIGHUP to application " + it->second + " due to " + name +
                      " recovered");
    dependent->sendSignal(SIGHUP);
  }
}

void AppStore::cannotRecovery(pid_t p, int64_t fault_time) {
  const auto owners = ownersOfPid(p);
  if (owners.empty()) return;
  Application* app = owners.front().first;
  owners.front().second->cannotRecovery(fault_time, app->getFullName(), app->getPath());
}

bool AppStore::hasFaultPid(pid_t p) const {
  for (const auto& app : apps) {
    if (app->hasFaultPid(p)) return true;
  }
  return false;
}

bool AppStore::hasPid(pid_t p) const { return !index_.byPid(p).empty(); }

AppStore::AppPtr AppStore::findByPid(pid_t p) const {
  const auto owners = ownersOfPid(p);
  return owners.empty() ? nullptr : shared(owners.front().first);
}

bool AppStore::releaseFd(int descriptor) {
  Component* comp = index_.byFd(descriptor);
  if (comp == nullptr) return false;
  comp->stop(true);
  return true;
}

void AppStore::sendSignal(int signo) {
  for (const auto& app : apps) app->sendSignal(signo);
}

bool AppStore::sendSignalToApp(const std::string& name, int signo) {
  const AppPtr app = find(name);
  if (!app) return false;
  app->sendSignal(signo);
  return true;
}

void AppStore::sendSignalToPids(const std::set<pid_t>& pids, int signo) {
  for (pid_t p : pids) {
    for (const auto& owner : ownersOfPid(p)) owner.second->sendSignal(signo);
  }
}

size_t AppStore::countStarted() const {
  size_t n = 0;
  for (const auto& app : apps) n += app->isStarted() ? 1 : 0;
  return n;
}

size_t AppStore::countAllStarted() const {
  size_t n = 0;
  for (const auto& app : apps) n += app->allStarted() ? 1 : 0;
  return n;
}

bool AppStore::isStarted(const std::string& name) const {
  const AppPtr app = find(name);
  return app && app->isStarted();
}

bool AppStore::allAppsStarted() const {
  for (const auto& app : apps) {
    if (!app->allStarted()) return false;
  }
  return true;
}

Utils::NameSet AppStore::startedAppNames() const {
  Utils::NameSet names;
  for (const auto& app : apps) {
    if (app->allStarted()) names.insert(app->getName());
  }
  return names;
}

std::string AppStore::dump(bool runtime) const {
  std::string out = "<apps>";
  for (const auto& app : apps) out += app->dump(runtime);
  return out + "</apps>";
}

void AppStore::logMetaConf() const {
  if (!korza::monitorLog().isEnabled(korza::kLogDebug)) return;
  for (const auto& app : apps) app->logMetaConf();
}
