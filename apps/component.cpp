#include "apps/component.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <mutex>
#include <tuple>

#include "apps/comp_strategy.h"
#include "apps/component_internal.h"
#include "apps/io.h"
#include "apps/launch.h"
#include "apps/management_fd_watch.h"
#include "apps/notices.h"
#include "apps/run_state.h"
#include "apps/stderr_collector.h"
#include "base/child_wait.h"
#include "base/flags.h"
#include "base/log.h"
#include "base/proc_info.h"
#include "base/state_journal.h"

namespace {

using component_internal::debugLine;
using korza::monitorLog;

// Waits up to `timeout_ms` (negative: without limit) for `p` to end and
// reaps it. True when it ended (status filled, or -1 when the child was not
// ours to wait for); false while it still runs.
bool reapWithin(pid_t p, int& status, int timeout_ms) {
  bool ended;
  try {
    ended = Utils::waitChild(p, &status, timeout_ms);
  } catch (const std::runtime_error& e) {
    monitorLog().error(e.what());
    status = -1;
    ended = true;
  }
  // Gone (or never ours): nothing a later instance would have to stop.
  if (ended) StateJournal::instance().ended(p);
  return ended;
}

// Waits at most `timeout_ms` for `fd` to become readable: 1 readable (or
// at end of file / in error, which a read then tells), 0 time-out, -1 with
// errno set. Any descriptor number works.
int pollReadable(int fd, int timeout_ms) {
  struct pollfd p = {fd, POLLIN, 0};
  const int rc = poll(&p, 1, timeout_ms);
  if (rc > 0 && (p.revents & POLLNVAL) != 0) {
    errno = EBADF;
    return -1;
  }
  return rc;
}

// Waits for the answer descriptor to become readable, restarting with the
// full time-out after a signal. True when readable. A stop of the supervisor
// ends the wait within a slice (a start-up that is told to stop must not sit
// out a long start time-out).
bool waitReadable(int fd, uint32_t seconds) {
  using Clock = std::chrono::steady_clock;
  const auto kSlice = std::chrono::milliseconds(200);
  auto deadline = Clock::now() + std::chrono::seconds(seconds);
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
    const auto wait = left < kSlice ? left : std::chrono::microseconds(kSlice);
    // Rounded up, so a wait never ends before its time.
    const int wait_ms = wait.count() > 0 ? static_cast<int>((wait.count() + 999) / 1000) : 0;
    const int rc = pollReadable(fd, wait_ms);
    if (rc > 0) return true;
    if (rc < 0) {
      if (errno != EINTR) return false;
      deadline = Clock::now() + std::chrono::seconds(seconds);
      continue;
    }
    if (wait.count() <= 0 || left <= kSlice) return false;
    if (RunState::get() == RunState::STOPPED) return false;
  }
}

// "killed by signal 9 (Killed)", "exited with status 1".
std::string describeWaitStatus(int status) {
  if (status == -1) return "ended";
  if (WIFSIGNALED(status)) {
    const int signo = WTERMSIG(status);
    return "killed by signal " + std::to_string(signo) + " (" + strsignal(signo) + ")";
  }
  if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
  return "ended";
}

// The one record of those settings. Records only the pool still holds are
// dropped whenever the pool has doubled since it was last swept.
std::shared_ptr<const Component::Settings> shareSettings(Component::Settings wanted) {
  using Record = std::shared_ptr<const Component::Settings>;
  struct ByValue {
    bool operator()(const Record& a, const Record& b) const {
      return std::tie(a->user, a->group, a->logType, a->logCommand) <
             std::tie(b->user, b->group, b->logType, b->logCommand);
    }
  };
  // Never destroyed: components may outlive the statics.
  static auto* const mutex = new std::mutex;
  static auto* const pool = new std::set<Record, ByValue>;
  static size_t sweep_at = 64;
  Record fresh = std::make_shared<const Component::Settings>(std::move(wanted));
  std::lock_guard<std::mutex> lock(*mutex);
  const auto found = pool->find(fresh);
  if (found != pool->end()) return *found;
  pool->insert(fresh);
  if (pool->size() >= sweep_at) {
    for (auto it = pool->begin(); it != pool->end();) {
      it = it->use_count() == 1 ? pool->erase(it) : std::next(it);
    }
    sweep_at = 2 * pool->size() + 64;
  }
  return fresh;
}

}  // namespace

Component::Component(const ComponentConf& conf)
    : name(conf.name),
      argv(conf.argv),
      timeStart(conf.timeStart),
      timeStop(conf.timeStop),
      settings_(shareSettings({conf.user, conf.group, conf.logType, conf.logValue})),
      agent(conf.agent) {}

Component::~Component() {
  if (index_ != nullptr) index_->removed(*this);
  index_ = nullptr;
  closeFd();
  closeErrFd();
  releaseStderr();
  if (reportFd >= 0) close(reportFd);
}

Component::Component(Component&& other) noexcept
    : name(std::move(other.name)),
      argv(std::move(other.argv)),
      timeStart(other.timeStart),
      timeStop(other.timeStop),
      // Copied: a moved-from component keeps settings to read.
      // NOLINTNEXTLINE(performance-move-constructor-init)
      settings_(other.settings_),
      informer(std::move(other.informer)),
      fd(other.fd),
      pid(other.pid),
      started(other.started),
      faultPid(other.faultPid),
      agent(other.agent),
      errFd(other.errFd),
      stderrLogged_(other.stderrLogged_),
      lastWords_(std::move(other.lastWords_)),
      reportFd(other.reportFd),
      lastWaitStatus_(other.lastWaitStatus_),
      history_(std::move(other.history_)),
      index_(other.index_),
      owner_(other.owner_) {
  other.index_ = nullptr;
  if (index_ != nullptr) index_->moved(other, *this);
  other.reportFd = -1;
  other.fd = -1;
  other.errFd = -1;
  other.stderrLogged_ = false;
  other.started = false;
}

Component& Component::operator=(Component&& other) noexcept {
  if (this == &other) return *this;
  if (index_ != nullptr) index_->removed(*this);
  index_ = nullptr;
  closeFd();
  closeErrFd();
  releaseStderr();
  name = std::move(other.name);
  argv = std::move(other.argv);
  timeStart = other.timeStart;
  timeStop = other.timeStop;
  settings_ = other.settings_;
  informer = std::move(other.informer);
  fd = other.fd;
  pid = other.pid;
  started = other.started;
  faultPid = other.faultPid;
  agent = other.agent;
  errFd = other.errFd;
  stderrLogged_ = other.stderrLogged_;
  lastWords_ = std::move(other.lastWords_);
  if (reportFd >= 0) close(reportFd);
  reportFd = other.reportFd;
  other.reportFd = -1;
  lastWaitStatus_ = other.lastWaitStatus_;
  history_ = std::move(other.history_);
  index_ = other.index_;
  owner_ = other.owner_;
  other.index_ = nullptr;
  if (index_ != nullptr) index_->moved(other, *this);
  other.fd = -1;
  other.errFd = -1;
  other.stderrLogged_ = false;
  other.started = false;
  return *this;
}

void Component::closeFd() {
  if (fd < 0) return;
  // The index lets go of the number before it can be reused.
  const int old = fd;
  assignFd(-1);
  close(old);
}

void Component::assignFd(int descriptor) {
  const int old = fd;
  if (old == descriptor) return;
  // The main loop's watch and the owner index let go of the old number
  // before it can be reused, and learn of the new one.
  if (old >= 0) ManagementFdWatch::closing(old);
  fd = descriptor;
  if (descriptor >= 0) ManagementFdWatch::opened(descriptor);
  if (index_ != nullptr) index_->fdChanged(*this, old);
}

void Component::assignPid(pid_t p) {
  const pid_t old = pid;
  pid = p;
  if (index_ != nullptr && old != p) index_->pidChanged(*this, old);
}

void Component::attach(ComponentIndex* index, Application* owner) {
  if (index_ != nullptr) index_->removed(*this);
  index_ = index;
  owner_ = owner;
  if (index_ == nullptr) return;
  if (fd >= 0) index_->fdChanged(*this, -1);
  if (pid > 0) index_->pidChanged(*this, -1);
}

void Component::closeErrFd() {
  if (errFd < 0 || stderrLogged_) return;
  close(errFd);
  errFd = -1;
}

void Component::releaseStderr() {
  if (errFd < 0 || !stderrLogged_) return;
  std::string last = StderrCollector::instance().finish(errFd);
  lastWords_.reset(last.empty() ? nullptr : new std::string(std::move(last)));
  errFd = -1;
  stderrLogged_ = false;
}

void Component::noteFault(int64_t when, const std::string& cause) {
  history_.lastFaultTime = when;
  history_.lastFault = lastWords_ ? cause + "; stderr: " + *lastWords_ : cause;
  lastWords_.reset();
}

void Component::logLaunchReport() {
  if (reportFd < 0) return;
  // The child writes its report before its "E", so it is there by now when
  // there is one; an exec that succeeded closed the pipe without a byte.
  std::string detail;
  char buf[512];
  for (;;) {
    int rc;
    do rc = pollReadable(reportFd, 0);
    while (rc < 0 && errno == EINTR);
    if (rc <= 0) break;
    ssize_t n;
    do {
      n = read(reportFd, buf, sizeof(buf));
    } while (n < 0 && errno == EINTR);
    if (n <= 0) break;
    detail.append(buf, static_cast<size_t>(n));
    if (detail.size() > 4096) break;
  }
  close(reportFd);
  reportFd = -1;
  const size_t nul = detail.find('\0');
  if (nul == std::string::npos || nul + 1 >= detail.size()) return;
  const std::string number = detail.substr(nul + 1);
  for (char c : number) {
    if (!isdigit(static_cast<unsigned char>(c))) return;
  }
  monitorLog().error(detail.substr(0, nul) + ": " + Utils::errorText(std::atoi(number.c_str())));
}

void Component::setLogType(int type, const std::string& command) {
  settings_ = shareSettings({getUser(), getGroup(), type, command});
}

void Component::createInformer() {
  informer.reset();
  informer = ::createInformer(getLogType(), getLogCommand());
}

void Component::inform(const std::string& text) {
  if (!informer || !informer->inform(text)) monitorLog().error("cannot inform. Message=" + text);
}

void Component::checkEarlyDeath(int& answer_fd) {
  int status = 0;
  if (!reapWithin(pid, status, 0)) return;
  int signo = 0;
  if (status != -1 && WIFSIGNALED(status)) {
    signo = WTERMSIG(status);
    if (signo < 1 || signo > 126) signo = 0;
  }
  assignPid(-1);
  if (answer_fd >= 0) close(answer_fd);
  answer_fd = -1;
  stop(false);
  if (signo != 0) {
    throw std::runtime_error("signal " + std::to_string(signo) + " (" + strsignal(signo) +
                             ") was catching");
  }
  throw std::runtime_error("stoped untimely");
}

void Component::startStandart(const CompStrategy& strategy, const std::string& app_path,
                              int64_t fault_time, uint32_t try_number,
                              const std::string& app_full_name) {
  monitorLog().debug("Component::startStandart() " + name);
  int answer_fd = -1;
  int err_fd = 0;
  pid_t child = -1;
  __start(strategy, app_path, answer_fd, err_fd, child);

  char answer = 'N';
  char buf[2];
  ssize_t n = 0;
  if (waitReadable(answer_fd, timeStart)) {
    do {
      n = read(answer_fd, buf, sizeof(buf));
    } while (n < 0 && errno == EINTR);
    answer = n > 0 ? buf[0] : '?';
  }
  // A failed launch step is logged here; otherwise the pipe is only closed.
  logLaunchReport();

  checkEarlyDeath(answer_fd);

  std::string text = "component \"" + name + "\"";
  if (answer == ' ') {
    started = true;
    assignFd(answer_fd);
    history_.lastStart = time(nullptr);
    history_.givenUp = false;
    if (fault_time > 0) ++history_.restarts;
    if (fault_time > 0) {
      text += " recovery";
      inform(Notices::recovery(pid, name, time(nullptr), static_cast<time_t>(fault_time),
                               try_number, app_full_name, app_path + name));
    } else {
      text += " started";
    }
    debugLine([&] { return std::string(text + " " + dump(true)); });
    return;
  }
  if (answer == 'E') {
    text += " starting error";
  } else if (answer == 'N') {
    text += " not answer";
  } else if (answer == '\n') {
    text += " stoped";
  } else {
    text += " wrong answer";
  }
  monitorLog().debug(text);
  started = false;
  close(answer_fd);
  closeErrFd();
  const bool himself = stopPid(child);
  releaseStderr();
  if (himself) throw StopedHimself();
  throw std::runtime_error(text);
}

bool Component::stop(bool is_fault) {
  debugLine([&] { return std::string("Component::stop() # " + name + " " + dump(true)); });
  if (is_fault) monitorLog().debug("component \"" + name + "\" fault");
  if (started) {
    started = false;
    closeFd();
    closeErrFd();
    // A logged standard error stays open until the child has gone: what it
    // says while it stops is logged, and it gets no SIGPIPE for saying it.
    const bool exited = stopPid(pid);
    releaseStderr();
    return exited;
  }
  monitorLog().debug("cannot stop component \"" + name + "\": is not running");
  return false;
}

bool Component::stopPid(pid_t p) {
  debugLine([&] { return std::string("Component::stopPid() # " + name + " " + dump(true)); });
  if (p < 1) {
    monitorLog().debug("component \"" + name + "\" has been stopped");
    return false;
  }
  debugLine([&] {
    return std::string("kill -TERM " + Utils::format(32, "pid=%d", static_cast<int>(p)) +
                       " name=\"" + name + "\"");
  });
  // The component leads its own session: the stop reaches its workers too.
  Utils::killGroup(p, SIGTERM);
  int status = 0;
  const int64_t stop_ms = static_cast<int64_t>(timeStop) * 1000;
  if (!reapWithin(p, status, stop_ms > INT32_MAX ? INT32_MAX : static_cast<int>(stop_ms))) {
    Utils::killGroup(p, SIGKILL);
    reapWithin(p, status, -1);
  }
  lastWaitStatus_ = status;
  if (status == -1) return false;
  if (!checkAll && WIFSIGNALED(status)) {
    const int signo = WTERMSIG(status);
    faultPid = p;
    monitorLog().error("component \"" + name + "\" terminated by signal " + std::to_string(signo) +
                       " (" + strsignal(signo) + ")");
  }
  return WIFEXITED(status);
}

bool Component::fault(pid_t p, int64_t fault_time, const std::string& app_full_name,
                      const std::string& app_path, const Utils::NameSet& dependents) {
  monitorLog().debug("Component::fault( .. ) # " + name);
  if (p != pid) return false;
  monitorLog().info("component \"" + name + "\" fault, pid=" + std::to_string(p));
  lastWaitStatus_ = -1;
  const bool stopped_himself = stop(true);
  noteFault(fault_time, describeWaitStatus(lastWaitStatus_));
  if (!stopped_himself) {
    monitorLog().debug("component \"" + name + "\" cannot stop");
    inform(Notices::failure(p, name, static_cast<time_t>(fault_time), app_full_name,
                            app_path + name, dependents));
    return false;
  }
  monitorLog().debug("component \"" + name + "\" stopped himself, do not sending report");
  return true;
}

void Component::cannotRecovery(int64_t fault_time, const std::string& app_full_name,
                               const std::string& app_path) {
  const std::string text = Notices::cannotRecover(pid, name, static_cast<time_t>(fault_time),
                                                  app_full_name, app_path + name);
  monitorLog().info("cannot recovery component " + name);
  history_.givenUp = true;
  inform(text);
}

void Component::sendSignal(int signo) {
  monitorLog().debug("Component::sendSignal() # " + name);
  if (!started) return;
  if (pid < 1) {
    monitorLog().error("error pid # component name=" + name);
    return;
  }
  kill(pid, signo);
  debugLine([&] {
    return std::string(Utils::format(256, "send signal (num=%d) to \"%s\" pid=%d", signo,
                                     name.c_str(), static_cast<int>(pid)));
  });
}

void Component::sendSignalIfIn(std::set<pid_t>& pids, int signo) {
  const auto it = pids.find(pid);
  if (it == pids.end()) return;
  pids.erase(it);
  sendSignal(signo);
}

bool Component::addFd(std::vector<int>& fds) const {
  if (fd < 0 || !started) return false;
  fds.push_back(fd);
  return true;
}

bool Component::reconfig(const ComponentConf& conf) {
  timeStart = conf.timeStart;
  timeStop = conf.timeStop;
  if (getLogType() != conf.logType || getLogCommand() != conf.logValue) {
    setLogType(conf.logType, conf.logValue);
    monitorLog().info("component \"" + name + "\" changed logType");
    createInformer();
  }
  if (argv != conf.argv) {
    monitorLog().info("component \"" + name + "\" changed argv \"" + argv + "\" to \"" + conf.argv +
                      "\"");
    argv = conf.argv;
    return true;
  }
  const std::string new_permissions = conf.user + ":" + conf.group;
  if (permissions() != new_permissions) {
    monitorLog().info("component \"" + name + "\" changed parmissions \"" + permissions() +
                      "\" to \"" + new_permissions + "\"");
    settings_ = shareSettings({conf.user, conf.group, getLogType(), getLogCommand()});
    return true;
  }
  return false;
}

std::string Component::dump(bool runtime) const {
  std::string out = "<comp name=\"" + name + "\"";
  if (!argv.empty()) out += " argv=\"" + argv + "\"";
  out += Utils::format(512, " start=\"%d\" stop=\"%d\" log=\"%d\" user=\"%s:%s\"",
                       static_cast<int>(timeStart), static_cast<int>(timeStop), getLogType(),
                       getUser().c_str(), getGroup().c_str());
  if (!getLogCommand().empty()) out += "cmd=\"" + getLogCommand() + "\"";
  if (runtime) out += Utils::format(64, " fd=\"%d\" pid=\"%d\"", fd, static_cast<int>(pid));
  out += "/>";
  return out;
}

std::string Component::metaConfLine() const {
  std::string log_word;
  if (getLogType() == kLogTypeLog) {
    log_word = "LOG";
  } else if (getLogType() == kLogTypeMail) {
    log_word = "MAIL";
  } else {
    log_word = "\"" + getLogCommand() + "\"";
  }
  return std::string(12, ' ') + name + "    \"" + argv + "\"    " + std::to_string(timeStart) +
         "    " + std::to_string(timeStop) + "    " + log_word + "    " + permissions();
}
