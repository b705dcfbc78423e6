#include "apps/application.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <exception>

#include "apps/comp_strategy.h"
#include "apps/regenerator.h"
#include "apps/run_state.h"
#include "base/log.h"

namespace {

using korza::monitorLog;

std::function<void(unsigned)>& sleeper() {
  static std::function<void(unsigned)> s;
  return s;
}

void sleepStep(unsigned seconds) {
  if (sleeper()) {
    sleeper()(seconds);
    return;
  }
  // Cut short when the supervisor stops, so a stop request during start-up
  // retries takes effect at once.
  RunState::sleepUnlessStopped(std::chrono::seconds(seconds));
}

bool stopping() { return RunState::get() == RunState::STOPPED; }

}  // namespace

Application::Application(const ApplicationConf& conf)
    : name(conf.name), fullName(conf.fullName), path(conf.path), deps(conf.depends) {
  components.reserve(conf.components.size());
  for (const auto& c : conf.components) components.emplace_back(c);
}

Application::~Application() { setIndex(nullptr); }

void Application::setIndex(ComponentIndex* index) {
  index_ = index;
  for (auto& comp : components) comp.attach(index, this);
}

Component& Application::appendComponent(const ComponentConf& conf) {
  components.emplace_back(conf);
  Component& comp = components.back();
  comp.attach(index_, this);
  return comp;
}

void Application::TEST_setSleeper(std::function<void(unsigned)> s) { sleeper() = std::move(s); }

void Application::sleepRetry(unsigned seconds) {
  unsigned slept = 0;
  while (slept + 5 <= seconds && !stopping()) {
    sleepStep(5);
    slept += 5;
  }
  if (seconds % 5 != 0 && !stopping()) sleepStep(seconds % 5);
}

std::string Application::componentLabel(const Component& comp) const {
  return Utils::format(256, "component \"%s\" from application \"%s\"", comp.getName().c_str(),
                       name.c_str());
}

bool Application::startComp(Component& comp, int64_t fault_time, uint32_t try_number,
                            const CompStrategy& strategy) {
  monitorLog().debug("Application::startComp( " + comp.getName() + " )");
  if (regenerator != nullptr) regenerator->regenerate(deps);
  try {
    comp.createInformer();
    strategy.start(comp, path, fault_time, try_number, fullName);
  } catch (const std::runtime_error& e) {
    monitorLog().error("cannot start " + componentLabel(comp) + ": " + e.what());
    comp.noteFault(time(nullptr), std::string("start failed: ") + e.what());
    return false;
  }
  monitorLog().info(componentLabel(comp) + " has been started " + strategy.description());
  return true;
}

bool Application::start(const std::vector<int32_t>& recovery_times, const CompStrategy& strategy) {
  monitorLog().debug("Application::start() name=" + name);
  started = true;
  size_t i = 0;
  bool failed = false;
  for (; i < components.size(); ++i) {
    if (RunState::get() != RunState::STARTED) {
      failed = true;
      break;
    }
    Component& comp = components[i];
    // A component still running (its application was started before and
    // only some of its components stopped) is kept as it is.
    if (comp.isStarted()) continue;
    bool ok = startComp(comp, 0, 0, strategy);
    for (size_t t = 0; !ok && t < recovery_times.size() && !stopping(); ++t) {
      const int32_t seconds = recovery_times[t];
      monitorLog().debug("sleep " + std::to_string(seconds));
      sleepRetry(seconds > 0 ? static_cast<unsigned>(seconds) : 0u);
      if (!stopping()) ok = startComp(comp, 0, 0, strategy);
    }
    if (!ok || RunState::get() != RunState::STARTED) {
      failed = true;
      break;
    }
  }
  if (failed && !components.empty()) {
    const size_t last = std::min(i, components.size() - 1);
    for (size_t k = last + 1; k-- > 0;) {
      try {
        components[k].stop(true);
      } catch (const std::exception& e) {
        monitorLog().debug(std::string("Application::start() stop: ") + e.what());
      }
    }
  }
  if (failed) return false;
  if (regenerator != nullptr) regenerator->appStarted(*this);
  monitorLog().info("application \"" + name + "\" has been started");
  return true;
}

void Application::stop() {
  monitorLog().debug("Application::stop() name=" + name);
  if (!started) return;
  started = false;
  for (auto it = components.rbegin(); it != components.rend(); ++it) it->stop(false);
  if (regenerator != nullptr) regenerator->appStopped(*this);
  monitorLog().info("application \"" + name + "\" has been stopped");
}

bool Application::fault(pid_t p, int64_t fault_time, const Utils::NameSet& dependents) {
  if (!started) return false;
  bool answer = false;
  for (auto& comp : components) {
    answer = comp.fault(p, fault_time, fullName, path, dependents);
    if (answer) break;
  }
  return answer;
}

bool Application::recovery(pid_t p, int64_t fault_time, uint32_t try_number) {
  monitorLog().debug("Application::recovery() name=" + name);
  monitorLog().debug("Application::recovery() pid=" + std::to_string(p));
  if (!started) return false;
  bool result = false;
  for (auto& comp : components) {
    if (comp.hasPid(p) && recoverComponent(comp, p, fault_time, try_number)) result = true;
  }
  return result;
}

bool Application::recoverComponent(Component& comp, pid_t p, int64_t fault_time,
                                   uint32_t try_number) {
  if (!started || !comp.hasPid(p)) return false;
  if (startComp(comp, fault_time, try_number, StandartCompStrategy())) return true;
  // The failed attempt's child is gone; the component keeps the pid of the
  // instance whose fault is being recovered, so that the next attempt of
  // the same fault event still finds it.
  if (!comp.isStarted()) comp.setPidAfterFailedRecovery(p);
  return false;
}

bool Application::faultOf(Component& comp, pid_t p, int64_t fault_time,
                          const Utils::NameSet& dependents) {
  if (!started) return false;
  return comp.fault(p, fault_time, fullName, path, dependents);
}

bool Application::cannotRecovery(pid_t p, int64_t fault_time) {
  for (auto& comp : components) {
    if (comp.hasPid(p)) {
      comp.cannotRecovery(fault_time, fullName, path);
      return true;
    }
  }
  return false;
}

bool Application::reconfig(const ApplicationConf& conf,
                           const std::vector<int32_t>& recovery_times) {
  monitorLog().debug("Application::reconfig() " + name);
  bool changed = false;
  if (fullName != conf.fullName) {
    monitorLog().info("application \"" + name + "\" change full name \"" + fullName + "\" to \"" +
                      conf.fullName + "\"");
    fullName = conf.fullName;
  }
  reconfigDeps(conf.depends);
  if (path == conf.path) {
    changed = reconfigComponents(conf);
  } else {
    monitorLog().info("application \"" + name + "\" change path \"" + path + "\" to \"" +
                      conf.path + "\". All components should be restarted");
    path = conf.path;
    changed = true;
    const bool was_started = started;
    stop();
    components.clear();
    for (const auto& c : conf.components) appendComponent(c);
    // A stopped application stays stopped: its components start with it.
    if (was_started) start(recovery_times, StandartCompStrategy());
  }
  return changed;
}

void Application::reconfigDeps(const Utils::NameSet& new_deps) {
  monitorLog().debug("Application::reconfigDeps()" + name);
  for (const auto& d : deps) {
    if (new_deps.count(d) == 0)
      monitorLog().info("application \"" + name + "\" now not depends on \"" + d + "\"");
  }
  for (const auto& d : new_deps) {
    if (deps.count(d) == 0)
      monitorLog().info("application \"" + name + "\" now depends on \"" + d + "\"");
  }
  deps = new_deps;
}

bool Application::reconfigComponents(const ApplicationConf& conf) {
  monitorLog().debug("Application::reconfigComponents()" + name);
  bool changed = false;
  std::vector<std::string> removed;
  for (auto& comp : components) {
    const auto found =
        std::find_if(conf.components.begin(), conf.components.end(),
                     [&](const ComponentConf& c) { return c.name == comp.getName(); });
    if (found != conf.components.end()) {
      if (comp.reconfig(*found)) {
        monitorLog().info("component \"" + comp.getName() + "\" from \"" + name +
                          "\" has been reconfigured");
        changed = true;
      }
    } else {
      monitorLog().info("component \"" + comp.getName() + "\" from application \"" + name +
                        "\" must be deleted");
      comp.stop(false);
      removed.push_back(comp.getName());
    }
  }
  components.erase(std::remove_if(components.begin(), components.end(),
                                  [&](const Component& c) {
                                    return std::find(removed.begin(), removed.end(), c.getName()) !=
                                           removed.end();
                                  }),
                   components.end());
  for (const auto& c : conf.components) {
    if (findComponent(c.name) != components.end()) continue;
    monitorLog().info("new component \"" + c.name + "\"");
    Component& comp = appendComponent(c);
    // In a stopped application it starts with the application.
    if (!started) continue;
    // A new component that cannot start is a run-time failure of that
    // component, not of the reload: the rest of the reload still applies,
    // and the next start of the application tries it again.
    try {
      comp.createInformer();
      StandartCompStrategy strategy;
      strategy.start(comp, path, 0, 0, std::string());
    } catch (const std::exception& e) {
      monitorLog().error("cannot start " + componentLabel(comp) + ": " + e.what());
    }
  }
  return changed;
}

pid_t Application::getPidByFd(int descriptor) const {
  for (const auto& comp : components) {
    if (comp.hasFd(descriptor)) return comp.getPid();
  }
  return -1;
}

bool Application::releaseFd(int descriptor) {
  for (auto& comp : components) {
    if (!comp.hasFd(descriptor)) continue;
    comp.stop(true);
    return true;
  }
  return false;
}

void Application::addFds(std::vector<int>& fds) const {
  for (const auto& comp : components) comp.addFd(fds);
}

bool Application::allStarted() const {
  return std::all_of(components.begin(), components.end(),
                     [](const Component& c) { return c.isStarted(); });
}

bool Application::hasStoppedComponent() const {
  return std::any_of(components.begin(), components.end(),
                     [](const Component& c) { return !c.isStarted(); });
}

bool Application::hasFaultPid(pid_t p) const {
  return std::any_of(components.begin(), components.end(),
                     [&](const Component& c) { return c.hasFaultPid(p); });
}

bool Application::hasPid(pid_t p) const {
  return std::any_of(components.begin(), components.end(),
                     [&](const Component& c) { return c.hasPid(p); });
}

Application::Components::iterator Application::findComponent(const std::string& comp_name) {
  return std::find_if(components.begin(), components.end(),
                      [&](const Component& c) { return c.getName() == comp_name; });
}

void Application::addComponent(const ComponentConf& conf) { appendComponent(conf); }

void Application::sendSignal(int signo) {
  for (auto& comp : components) comp.sendSignal(signo);
}

void Application::sendSignalToPids(std::set<pid_t>& pids, int signo) {
  for (auto& comp : components) comp.sendSignalIfIn(pids, signo);
}

pid_t Application::firstPid() const { return components.empty() ? 0 : components[0].getPid(); }

std::string Application::permissionsList() const {
  std::set<std::string> all;
  for (const auto& comp : components) all.insert(comp.permissions());
  std::string out;
  for (const auto& p : all) {
    if (!out.empty()) out += ",";
    out += p;
  }
  return out;
}

std::string Application::singleArgv() const {
  return components.size() == 1 ? components[0].getArgv() : std::string();
}

std::string Application::dump(bool runtime) const {
  std::string joined;
  for (const auto& d : deps) {
    if (!joined.empty()) joined += ",";
    joined += d;
  }
  std::string out = "<app name=\"" + name + "\"\nfullName=\"" + fullName + "\"\npath=\"" + path +
                    "\"\ndeps=\"" + joined + "\"><comps>";
  for (const auto& comp : components) out += comp.dump(runtime);
  out += "</comps></app>";
  return out;
}

void Application::logMetaConf() const {
  auto& log = monitorLog();
  log.debug("    Application \"" + name + "\"");
  log.debug("        FullName \"" + fullName + "\"");
  log.debug("        Path \"" + path + "\"");
  std::string depends = "        Depends ";
  for (const auto& d : deps) depends += "\"" + d + "\" ";
  log.debug(depends);
  log.debug("        Components");
  for (const auto& comp : components) log.debug(comp.metaConfLine());
  log.debug("        EndComponents");
  log.debug("    EndApplication");
}
