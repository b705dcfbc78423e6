#include "monitor/monitor.h"

#include <chrono>

#include "base/log.h"

using korza::monitorLog;

const char* Monitor::stateName(State state) {
  switch (state) {
    case INIT:
      return "INIT";
    case STARTED:
      return "STARTED";
    case STOPPED:
      return "STOPPED";
    case END:
      return "END";
  }
  return "UNKNOWN";
}

Monitor::Monitor(const std::string& conf_file, const std::string& run_list, bool update_mode)
    : update_mode_(update_mode), settings(conf_file) {
  monitorLog().debug("Monitor::Monitor() confFile = " + conf_file);
  if (!run_list.empty()) {
    for (const auto& name : Utils::split(run_list, ",")) cmdRunSet.insert(name);
  }
  reloadData();
  if (settings.isEnterpriseMode()) cmdRunSet.insert("AGENT");
  catalogue.load(settings.getMetaConfigDir());
  attachApplications();
}

void Monitor::reloadData() {
  monitorLog().debug("Monitor::reloadData()");
  settings.reload();
  applySettings();
}

void Monitor::applySettings() {}

void Monitor::attachApplications() {}

Monitor::~Monitor() {
  monitorLog().debug("Monitor::~Monitor()");
  setState(false);
}

void Monitor::setState(bool started) {
  State s = started ? STARTED : STOPPED;
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    state_ = s;
  }
  monitorLog().debug(std::string("Monitor::setState to ") + stateName(s));
  // The main loop waits on its condition with a time-out; wake it so a stop
  // is seen at once.
  loop_cond_.notify_all();
}

Monitor::State Monitor::getState() const {
  std::lock_guard<std::mutex> lock(state_mutex_);
  return state_;
}

void Monitor::getFirstRunAppSet(NameSet& out) {
  monitorLog().debug("Monitor::getFirstRunAppSet()");
  out.clear();
  if (settings.isEnterpriseMode()) {
    out.insert("AGENT");
  } else {
    getRunAppSet(out);
  }
  catalogue.verify(out);
}

void Monitor::getRunAppSet(NameSet& out) {
  monitorLog().debug("Monitor::getRunAppSet()");
  out.clear();
  if (!settings.isEnterpriseMode()) {
    out = cmdRunSet.empty() ? settings.getRunAppList() : cmdRunSet;
  } else {
    // The agent session arrives with the IPC binding; until then the
    // request is logged as having no session and the file's list stays.
    settings.readConfigFromAgent(nullptr, false);
    out = settings.getRunAppList();
  }
  catalogue.verify(out);
}

void Monitor::start() {
  monitorLog().debug("Monitor::start()");
  setState(true);
  NameSet first;
  getFirstRunAppSet(first);
}

void Monitor::mainLoop() {
  monitorLog().debug("Monitor::mainLoop()");
  std::unique_lock<std::mutex> lock(loop_mutex_);
  inMainLoop = true;
  loop_cond_.notify_all();
  while (isRunning()) {
    loop_cond_.wait_for(lock, std::chrono::seconds(1));
    korza::LogClass::flush();
  }
  inMainLoop = false;
  loop_cond_.notify_all();
}

void Monitor::stop() {
  monitorLog().debug("Monitor::stop()");
  std::unique_lock<std::mutex> lock(loop_mutex_);
  loop_cond_.wait(lock, [this] { return !inMainLoop; });
}

void Monitor::reload(int, const std::string& name) {
  monitorLog().info("Monitor::reload(): arrived " + name);
  std::lock_guard<std::mutex> lock(reload_mutex_);
  reloadRequested = true;
}

void Monitor::terminate(int, const std::string& name) {
  monitorLog().info("Monitor::terminate(): arrived " + name);
  setState(false);
}

void Monitor::inform(int, const std::string& name) {
  monitorLog().debug("Monitor::inform(): arrived " + name);
}

unsigned int Monitor::firstNotRootUID() const { return 0; }

unsigned int Monitor::firstNotRootGID() const { return 0; }
