#include "monitor/thread_safety_monitor.h"

#include <mutex>

#include "base/log.h"

using korza::monitorLog;

ThreadSafetyMonitor::Mediator& ThreadSafetyMonitor::Mediator::instance() {
  static Mediator mediator;
  return mediator;
}

void ThreadSafetyMonitor::Mediator::init(Monitor* monitor) {
  std::unique_lock<std::shared_mutex> lock(lock_);
  if (initialized_) throw Error("mediator re-initialization");
  initialized_ = true;
  monitor_ = monitor;
}

void ThreadSafetyMonitor::Mediator::release(Monitor* monitor) {
  std::unique_lock<std::shared_mutex> lock(lock_);
  if (monitor_ == monitor) monitor_ = nullptr;
}

void ThreadSafetyMonitor::Mediator::setAccount(const std::string& user, const std::string& group,
                                               const std::string& mta) {
  std::unique_lock<std::shared_mutex> lock(lock_);
  user_ = user;
  group_ = group;
  mta_ = mta;
}

void ThreadSafetyMonitor::Mediator::addChangedConf(const Monitor::PidSet& pids) {
  // The shared lock keeps the supervisor registered for the call; the queue
  // has its own mutex.
  std::shared_lock<std::shared_mutex> lock(lock_);
  if (monitor_ == nullptr) throw Error("mediator is not initialized");
  monitor_->addChangedConf(pids);
}

std::string ThreadSafetyMonitor::Mediator::permissions() const {
  std::shared_lock<std::shared_mutex> lock(lock_);
  if (user_.empty() && group_.empty()) return std::string();
  return user_ + ":" + group_;
}

std::string ThreadSafetyMonitor::Mediator::mta() const {
  std::shared_lock<std::shared_mutex> lock(lock_);
  return mta_;
}

std::string ThreadSafetyMonitor::Mediator::user() const {
  std::shared_lock<std::shared_mutex> lock(lock_);
  return user_;
}

ThreadSafetyMonitor::ThreadSafetyMonitor(const std::string& conf_file, const std::string& run_list,
                                         bool update_mode)
    : Monitor(conf_file, run_list, update_mode) {
  Mediator::instance().init(this);
  publishAccount();
}

ThreadSafetyMonitor::~ThreadSafetyMonitor() { Mediator::instance().release(this); }

void ThreadSafetyMonitor::reloadData() {
  monitorLog().debug("ThreadSafetyMonitor::reloadData()");
  // Nothing is published yet: the reload may still fail and be rolled back.
  Monitor::reloadData();
}

void ThreadSafetyMonitor::reloaded() { publishAccount(); }

void ThreadSafetyMonitor::publishAccount() {
  const MonitorConfReader& s = getSettings();
  Mediator::instance().setAccount(s.getUser(), s.getGroup(), s.getMta());
}
