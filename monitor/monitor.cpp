#include "monitor/monitor.h"

#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>

#include "apps/comp_strategy.h"
#include "apps/informer.h"
#include "apps/notification_context.h"
#include "apps/stderr_collector.h"
#include "base/flags.h"
#include "base/log.h"
#include "base/memory.h"
#include "ipc/kz_app_proto.h"
#include "ipc/kz_pool.h"
#include "monitor/hup_files.h"
#include "monitor/management_fds.h"
#include "monitor/search_strategy.h"
#include "monitor/status_snapshot.h"
#include "monitor/updater.h"

using korza::monitorLog;
using korza::base::KzTimeout;

namespace {

int64_t nowSeconds() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return tv.tv_sec;
}

}  // namespace

Monitor::Monitor(const std::string& conf_file, const std::string& run_list, bool update_mode)
    : appStore(update_mode), settings(conf_file) {
  monitorLog().debug("Monitor::Monitor() confFile = " + conf_file);
  if (!run_list.empty()) {
    for (const auto& name : Utils::split(run_list, ",")) cmdRunSet.insert(name);
  }
  reloadData();
  if (settings.isEnterpriseMode()) cmdRunSet.insert("AGENT");
  appStore.load(settings.getMetaConfigDir());
  appStore.releaseComponentRecords();
  appStore.setRegenerator(this);
  // Last: a constructor that throws must leave no watch behind.
  previousWatch_ = ManagementFdWatch::install(&fds_);
}

Monitor::~Monitor() {
  monitorLog().debug("Monitor::~Monitor()");
  // The store outlives this body: the descriptors it still closes are
  // nobody's concern any more.
  ManagementFdWatch::uninstall(&fds_, previousWatch_);
  setState(false);
  stopAgentReporter();
  agentSession.reset();
  NotificationContext::release();
  // The pipes of components still held are released without the thread.
  StderrCollector::instance().shutdown();
}

void Monitor::reloadData() {
  monitorLog().debug("Monitor::reloadData()");
  settings.reload();
  applySettings();
}

void Monitor::applySettings() {
  const std::vector<int32_t>& times = settings.getRecoveryTimeList();
  NotificationContext::setMonitorInfo(korza::kProgramTitle, Utils::osName(), Utils::version(),
                                      Utils::hostName(), times);
  NotificationContext::setMailAddresses(settings.getFilterMail(), settings.getAdminMail());
  setInjectCmd(settings.getInjectCmd());
  deferredEvents.setRecoveryTimes(times);
  StderrCollector::instance().setLogging(settings.getComponentStderrLog());
}

void Monitor::setState(bool started) {
  const State s = started ? RunState::STARTED : RunState::STOPPED;
  RunState::set(s);
  if (!started) fds_.wake();
  monitorLog().debug(std::string("Monitor::setState to ") + RunState::name(s));
}

void Monitor::getFirstRunAppSet(NameSet& out) {
  monitorLog().debug("Monitor::getFirstRunAppSet()");
  out.clear();
  if (settings.isEnterpriseMode()) {
    out.insert("AGENT");
  } else {
    getRunAppSet(out);
  }
  appStore.verify(out);
}

void Monitor::getRunAppSet(NameSet& out, const RunAppStore& catalogue) {
  monitorLog().debug("Monitor::getRunAppSet()");
  out.clear();
  if (!settings.isEnterpriseMode()) {
    out = cmdRunSet.empty() ? settings.getRunAppList() : cmdRunSet;
  } else {
    // Without an agent session, or when the agent does not answer, the
    // file's list stays in force.
    settings.readConfigFromAgent(agentSession.get(), appStore.isStarted("POSTD"));
    out = settings.getRunAppList();
  }
  catalogue.verify(out);
}

Monitor::NameSet Monitor::runSetOrEmpty() {
  NameSet set;
  try {
    getRunAppSet(set);
  } catch (const std::exception& e) {
    monitorLog().error(std::string("cannot compute the run set: ") + e.what());
    set.clear();
  }
  return set;
}

void Monitor::start() {
  monitorLog().debug("Monitor::start()");
  // From here on info lines reach the file within a fraction of a second
  // however long the loop sleeps.
  korza::LogClass::startFlusher();
  startTime_ = nowSeconds();
  setState(true);
  NameSet first;
  getFirstRunAppSet(first);
  const std::string agent =
      settings.getAgentAddress().empty() ? std::string() : settings.getAgentAddress().front();
  appStore.start(first, settings.getRecoveryTimeList(), agent, settings.getPidFileDir());
  // A check-all run starts every component once for its report; of the run
  // list nothing is left running (only the temporary agent the checks ran
  // against, whether or not AGENT is listed), so there is nothing to count.
  if (!checkAll) {
    bool any = false;
    for (const auto& name : appStore.startedAppNames()) any = any || first.count(name) != 0;
    if (!any) throw InitError("no applications started");
  }
  connectToAgent();
  settings.readConfigFromAgent(agentSession.get(), appStore.isStarted("POSTD"));
  NameSet next;
  getRunAppSet(next);
  if (next != first) {
    appStore.start(next, settings.getRecoveryTimeList(), agent, settings.getPidFileDir());
  }
  publishStatus();
  // What the configuration's parsing and the starts left freed.
  korza::returnFreeMemory();
}

void Monitor::mainLoop() {
  monitorLog().debug("Monitor::mainLoop()");
  {
    std::lock_guard<std::mutex> lock(loop_mutex_);
    inMainLoop = true;
  }
  loop_cond_.notify_all();
  while (isRunning()) {
    // From here on the monitor must not die: a failure of one iteration is
    // logged and the next one goes on.
    try {
      runIteration();
    } catch (const std::exception& e) {
      idle_ = false;
      statusChanged_ = true;
      monitorLog().error(std::string("Monitor::mainLoop(): ") + e.what());
    }
  }
  processRestarts();  // nothing is restarted now: the waiting clients are told so
  publishIfChanged();
  {
    std::lock_guard<std::mutex> lock(loop_mutex_);
    inMainLoop = false;
  }
  loop_cond_.notify_all();
}

void Monitor::runIteration() {
  ++passes_;
  bool reload_now = false;
  {
    // Cleared before the reload runs, so a SIGHUP that arrives during it
    // causes one more.
    std::lock_guard<std::mutex> lock(reload_mutex_);
    std::swap(reload_now, reloadRequested);
  }
  if (reload_now) {
    reload();
    statusChanged_ = true;
  }
  processRestarts();
  // Everything done so far is shown and written before the loop sleeps.
  // After a reload, a drained changed-configuration queue or an update the
  // loop only looks: what they did (the last application stopped, say) is
  // to be seen in this pass.
  const int timeout_ms = reload_now || rescan_ ? 0 : waitTimeout();
  rescan_ = false;
  publishIfChanged();
  korza::LogClass::flush();
  idle_ = true;
  std::vector<int> closed = fds_.wait(isRunning() ? timeout_ms : 0, true);
  wokeAt_ = static_cast<int64_t>(::time(nullptr));
  idle_ = false;
  fileFaults(closed);
  if (isRunning()) processDeferredEvents(NameSet());
  if (appStore.countStarted() == 0) {
    monitorLog().info(std::string("all applications have stoped, terminate ") +
                      korza::kProgramName + " application");
    kill(getpid(), SIGTERM);
    return;
  }
  if (Updater::instance().pending()) {
    Updater::instance().update();
    statusChanged_ = rescan_ = true;
  }
  bool changed;
  {
    std::lock_guard<std::mutex> lock(changed_mutex_);
    changed = !changedConf.empty();
  }
  if (changed) {
    changedConfReload();
    statusChanged_ = rescan_ = true;
  }
}

std::pair<bool, std::string> Monitor::restartComponents(const std::vector<std::string>& targets,
                                                        uid_t requester) {
  auto request = std::make_shared<RestartRequest>();
  request->targets = targets;
  request->requester = requester;
  std::unique_lock<std::mutex> lock(restart_mutex_);
  if (!isRunning()) return {false, "the monitor is stopping"};
  restarts_.push_back(request);
  wake();
  restart_cond_.wait(lock, [&] { return request->done; });
  return {request->ok, request->text};
}

void Monitor::processRestarts() {
  std::deque<std::shared_ptr<RestartRequest>> requests;
  {
    std::lock_guard<std::mutex> lock(restart_mutex_);
    requests.swap(restarts_);
  }
  for (const auto& request : requests) {
    if (isRunning()) {
      carryOut(*request);
      statusChanged_ = rescan_ = true;
    } else {
      request->ok = false;
      request->text = "the monitor is stopping";
    }
    std::lock_guard<std::mutex> lock(restart_mutex_);
    request->done = true;
  }
  if (!requests.empty()) restart_cond_.notify_all();
}

void Monitor::carryOut(RestartRequest& request) {
  // Every target is checked before anything is stopped.
  std::vector<std::pair<RunAppStore::AppPtr, std::vector<std::string>>> plan;
  for (const std::string& target : request.targets) {
    const size_t slash = target.find('/');
    const std::string app_name = target.substr(0, slash);
    const RunAppStore::AppPtr app = appStore.find(app_name);
    if (!app) {
      request.text = "unknown application '" + Utils::printable(app_name) + "'";
      return;
    }
    if (!app->isStarted()) {
      request.text = "application \"" + app->getName() + "\" is not started";
      return;
    }
    std::vector<std::string> names;
    if (slash == std::string::npos) {
      for (const Component& comp : app->getComponents()) names.push_back(comp.getName());
    } else {
      const std::string comp_name = target.substr(slash + 1);
      if (app->findComponent(comp_name) == app->getComponents().end()) {
        request.text = "unknown component '" + Utils::printable(comp_name) + "' of application \"" +
                       app->getName() + "\"";
        return;
      }
      names.push_back(comp_name);
    }
    plan.emplace_back(app, names);
  }
  request.ok = true;
  for (const auto& step : plan) {
    Application& app = *step.first;
    for (const std::string& name : step.second) {
      const auto comp = app.findComponent(name);
      // A reload or a stop while this request waited may have removed it.
      if (!app.isStarted() || comp == app.getComponents().end()) continue;
      const std::string label = app.componentLabel(*comp);
      if (!comp->isStarted()) {
        // A component waiting for its restart belongs to the recovery
        // schedule; it is not started twice.
        request.ok = false;
        request.text += label + " is not running\n";
        continue;
      }
      monitorLog().info("restart of " + label + " requested by uid " +
                        std::to_string(request.requester));
      const pid_t old_pid = comp->getPid();
      comp->stop(false);
      if (app.startComp(*comp, 0, 0, StandartCompStrategy())) {
        request.text += label + " restarted, pid " + std::to_string(comp->getPid()) + "\n";
        continue;
      }
      // A failed start is filed as a fault of the instance that was
      // stopped, so that the recovery schedule takes it from here.
      request.ok = false;
      request.text += label + " failed to start: " + comp->history().lastFault + "\n";
      comp->setPidAfterFailedRecovery(old_pid);
      FaultEvent event(nowSeconds(), deferredEvents.nowMs(), old_pid);
      try {
        deferredEvents.pushFault(event);
      } catch (const DeferredEventStore::TimeoutError&) {
        giveUp(event);
      }
    }
  }
}

int Monitor::waitTimeout() const {
  const int64_t left = deferredEvents.msUntilNextDue();
  return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

void Monitor::fileFaults(const std::vector<int>& closed) {
  if (!isRunning() || closed.empty()) return;
  statusChanged_ = true;
  for (int fd : closed) {
    // Handling one fault may stop whole applications and close their
    // descriptors: one closed that way is no longer a fault.
    if (!fds_.watches(fd)) continue;
    const pid_t pid = appStore.getPidByFd(fd);
    if (pid == -1) {
      monitorLog().error("internal error: pid error");
      // Nobody owns it: stop watching it, or its end-of-file would wake
      // the loop again and again.
      fds_.fdClosing(fd);
      continue;
    }
    if (pid == 0) {
      // The owner's application is not running: the descriptor is still
      // consumed (closed, the child reaped), or it would stay at
      // end-of-file in every poll.
      appStore.releaseFd(fd);
      continue;
    }
    const int64_t now = nowSeconds();
    FaultEvent event(now, deferredEvents.nowMs(), pid);
    bool exhausted = false;
    try {
      deferredEvents.pushFault(event);
    } catch (const DeferredEventStore::TimeoutError&) {
      // An empty recovery list: the death is handled as any other, then the
      // component is given up at once.
      exhausted = true;
    }
    appStore.fault(pid, now);
    if (exhausted) giveUp(event);
  }
}

void Monitor::processDeferredEvents(const NameSet& apps) {
  // While a start waits for its dependencies (`apps` not empty) only the
  // events of those applications are taken: the others stay queued with
  // their attempts untouched.
  const auto wanted = [&](const FaultEvent& e) {
    if (apps.empty()) return true;
    const RunAppStore::AppPtr owner = appStore.findByPid(e.pid);
    return owner && apps.count(owner->getName()) != 0;
  };
  FaultEvent event;
  while (isRunning() && deferredEvents.popReadyIf(event, wanted)) {
    statusChanged_ = true;
    const RunAppStore::AppPtr owner = appStore.findByPid(event.pid);
    if (owner && !owner->isStarted()) {
      // Its application was stopped while the restart waited; a stopped
      // application runs no component, so the event ends here.
      monitorLog().debug("Monitor::processDeferredEvents(): application \"" + owner->getName() +
                         "\" is stopped, no recovery for pid=" + std::to_string(event.pid));
      continue;
    }
    if (owner) {
      if (appStore.recovery(event.pid, event.faultTime, event.tryNumber, apps)) continue;
      try {
        deferredEvents.pushFault(event);
      } catch (const DeferredEventStore::TimeoutError&) {
        giveUp(event);
      }
    } else {
      appStore.stopFaultyApps(runSetOrEmpty());
    }
  }
}

void Monitor::publishStatus() {
  try {
    // The run set as the last start or reload applied it, without asking
    // the agent again.
    NameSet run_set;
    if (appStore.isUpdateMode()) {
      run_set.insert("AGENT");
    } else {
      const bool own_list = settings.isEnterpriseMode() || cmdRunSet.empty();
      appStore.expand(own_list ? settings.getRunAppList() : cmdRunSet, run_set);
    }
    korza::postd::StatusSnapshotPtr fresh =
        takeStatusSnapshot(appStore, deferredEvents, run_set, startTime_);
    std::lock_guard<std::mutex> lock(status_mutex_);
    status_.swap(fresh);
  } catch (const std::exception& e) {
    monitorLog().error(std::string("cannot publish the status: ") + e.what());
  }
}

void Monitor::publishIfChanged() {
  if (!statusChanged_ && publishedChanges_ == fds_.changes()) return;
  statusChanged_ = false;
  publishedChanges_ = fds_.changes();
  publishStatus();
}

korza::postd::StatusSnapshotPtr Monitor::statusSnapshot() const {
  std::lock_guard<std::mutex> lock(status_mutex_);
  // Nothing changes while the loop sleeps, and nothing changed before it
  // last woke: the snapshot holds as of then.
  const int64_t as_of = idle_ ? static_cast<int64_t>(::time(nullptr)) : wokeAt_.load();
  if (status_ && as_of > status_->time) {
    // Copied, not changed: a reader may still hold the published one.
    auto fresh = std::make_shared<korza::postd::StatusSnapshot>(*status_);
    fresh->time = as_of;
    status_ = std::move(fresh);
  }
  return status_;
}

void Monitor::giveUp(const FaultEvent& event) {
  appStore.cannotRecovery(event.pid, event.faultTime);
  appStore.stopFaultyApps(runSetOrEmpty());
}

void Monitor::regenerate(const NameSet& apps) {
  monitorLog().debug("Monitor::regenerate()");
  for (size_t i = 0; i < apps.size(); ++i) {
    checkFaults(0);
    processDeferredEvents(apps);
  }
}

void Monitor::waitLoopEnd() {
  std::unique_lock<std::mutex> lock(loop_mutex_);
  loop_cond_.wait(lock, [this] { return !inMainLoop; });
}

void Monitor::stop() {
  monitorLog().debug("Monitor::stop()");
  waitLoopEnd();
  appStore.stop();
}

void Monitor::reload() {
  monitorLog().debug("Monitor::reload()");
  const MonitorConfReader saved = settings;
  try {
    reloadData();
    RunAppStore fresh(appStore.isUpdateMode());
    fresh.load(settings.getMetaConfigDir());
    // The run set is checked against the catalogue just read, so that an
    // application can be described and listed in one reload.
    NameSet run_set;
    getRunAppSet(run_set, fresh);
    appStore.merge(fresh, settings.getRecoveryTimeList());
    appStore.setRegenerator(this);
    appStore.applyRunList(run_set, settings.getRecoveryTimeList());
  } catch (const std::exception& e) {
    monitorLog().error(std::string("reload error: ") + Utils::printable(e.what()));
    settings = saved;
    korza::initMonitorLogging(settings.getLogFileName(), settings.getLogLevel(),
                              settings.getIpcLogLevel(), settings.getSyslogFacility(), checkMode);
    applySettings();
    return;
  }
  // Published before the components hear of the reload, and again with
  // what the agent adds.
  reloaded();
  appStore.sendSignal(SIGHUP);
  reconnectToAgent();
  settings.readConfigFromAgent(agentSession.get(), appStore.isStarted("POSTD"));
  reloaded();
  // The catalogue read for the reload is gone now.
  korza::returnFreeMemory();
}

void Monitor::addChangedConf(const PidSet& pids) {
  monitorLog().debug("Monitor::addChangedConf()");
  {
    std::lock_guard<std::mutex> lock(changed_mutex_);
    changedConf.insert(pids.begin(), pids.end());
  }
  fds_.wake();
}

void Monitor::getChangedConf(PidSet& out) {
  monitorLog().debug("Monitor::getChangedConf()");
  std::lock_guard<std::mutex> lock(changed_mutex_);
  out.swap(changedConf);
  changedConf.clear();
}

void Monitor::changedConfReload() {
  monitorLog().debug("Monitor::changedConfReload()");
  PidSet pids;
  getChangedConf(pids);
  appStore.sendSignalToPids(pids, SIGHUP);
  if (pid_ > 0 && pids.erase(pid_) != 0) {
    NotificationContext::setMailAddresses(settings.getFilterMail(), settings.getAdminMail());
    setInjectCmd(settings.getInjectCmd());
    reload();
  }
  processHupFiles(settings.getPidFileDir(), pids,
                  settings.getPidFileDir() + korza::kProgramName + ".pid");
}

void Monitor::reload(int, const std::string& name) {
  monitorLog().info("Monitor::reload(): arrived " + name);
  {
    std::lock_guard<std::mutex> lock(reload_mutex_);
    reloadRequested = true;
  }
  fds_.wake();
}

void Monitor::terminate(int, const std::string& name) {
  monitorLog().info("Monitor::terminate(): arrived " + name);
  setState(false);
}

void Monitor::inform(int, const std::string& name) {
  monitorLog().debug("Monitor::inform(): arrived " + name);
}

unsigned int Monitor::firstNotRootUID() const {
  FirstNotRootUIDStrategy strategy;
  strategy.walk(appStore);
  return strategy.found() ? strategy.value() : 0;
}

unsigned int Monitor::firstNotRootGID() const {
  FirstNotRootGIDStrategy strategy;
  strategy.walk(appStore);
  return strategy.found() ? strategy.value() : 0;
}
