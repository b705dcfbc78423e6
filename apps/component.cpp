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
#include "apps/io.h"
#include "apps/launch.h"
#include "apps/management_fd_watch.h"
#include "apps/notices.h"
#include "apps/run_state.h"
#include "base/child_wait.h"
#include "base/flags.h"
#include "base/log.h"
#include "base/proc_info.h"
#include "base/state_journal.h"

namespace {

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

// Debug lines are built only when the debug level is on: the component
// dumps in them cost more than the rest of a start's or a stop's own work.
template <typename Build>
void debugLine(Build build) {
  if (monitorLog().isEnabled(korza::kLogDebug)) monitorLog().debug(build());
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

void writeErr(const std::string& text) {
  fputs(text.c_str(), stderr);
  fflush(stderr);
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
  other.started = false;
}

Component& Component::operator=(Component&& other) noexcept {
  if (this == &other) return *this;
  if (index_ != nullptr) index_->removed(*this);
  index_ = nullptr;
  closeFd();
  closeErrFd();
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
  if (errFd >= 0) close(errFd);
  errFd = -1;
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

std::vector<std::string> Component::splitArguments(const std::string& text) {
  std::vector<std::string> out;
  std::string word;
  auto endWord = [&]() {
    const std::string trimmed = Utils::trim(word);
    if (!trimmed.empty()) out.push_back(trimmed);
    word.clear();
  };
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"' || c == '\'') {
      // A quote inside a word ends that word; the quoted text is an
      // argument of its own, even when empty.
      endWord();
      const size_t close_at = text.find(c, i + 1);
      if (close_at == std::string::npos) {
        out.push_back(text.substr(i + 1));
        return out;
      }
      out.push_back(text.substr(i + 1, close_at - i - 1));
      i = close_at;
    } else if (isspace(static_cast<unsigned char>(c))) {
      endWord();
    } else {
      word.push_back(c);
    }
  }
  if (!word.empty()) out.push_back(word);
  return out;
}

// NOLINTNEXTLINE(bugprone-reserved-identifier)
void Component::__start(const CompStrategy& strategy, const std::string& app_path, int& answer_fd,
                        int& err_fd, pid_t& child) {
  debugLine([&] { return std::string("Component::__start() # " + dump(true)); });
  if (started) throw std::logic_error("component \"" + name + "\" has started");
  err_fd = checkAll ? -1 : 0;
  startComp(strategy, app_path, answer_fd, err_fd, child);
  started = true;
  closeErrFd();
  if (err_fd > 0) errFd = err_fd;
}

bool Component::startComp(const CompStrategy& strategy, const std::string& app_path, int& answer_fd,
                          int& err_fd, pid_t& child) {
  debugLine([&] { return std::string("Component::startComp() # " + dump(true)); });
  const std::string path = app_path + name;
  monitorLog().debug("start component \"" + name + "\" - \"" + path + "\"");

  int answer_pipe[2];
  if (!Launch::makePipe(answer_pipe)) throw std::runtime_error("create pipe error");
  int err_pipe[2] = {-1, -1};
  if (err_fd == -1 && !Launch::makePipe(err_pipe)) {
    close(answer_pipe[0]);
    close(answer_pipe[1]);
    throw std::runtime_error("create pipe error");
  }
  int report_pipe[2] = {-1, -1};
  if (!Launch::makePipe(report_pipe)) {
    close(answer_pipe[0]);
    close(answer_pipe[1]);
    if (err_pipe[0] >= 0) close(err_pipe[0]);
    if (err_pipe[1] >= 0) close(err_pipe[1]);
    throw std::runtime_error("create pipe error");
  }
  auto closeAll = [&]() {
    close(answer_pipe[0]);
    close(answer_pipe[1]);
    if (err_pipe[0] >= 0) close(err_pipe[0]);
    if (err_pipe[1] >= 0) close(err_pipe[1]);
    close(report_pipe[0]);
    close(report_pipe[1]);
  };

  // An account that cannot be looked up never runs the component (as root
  // or otherwise): the start fails.
  Utils::Account account;
  try {
    account = Utils::resolveAccount(getUser(), getGroup());
  } catch (const Utils::error& e) {
    monitorLog().error(e.what());
    closeAll();
    throw std::runtime_error(e.what());
  }

  // Everything the child uses is built here, before the fork.
  std::vector<std::string> args;
  std::vector<char*> c_args;
  std::string groups_message, group_message, user_message, exec_message;
  try {
    args.push_back(path);
    for (auto& piece : splitArguments(argv)) args.push_back(std::move(piece));
    strategy.addArguments(args);
    c_args.reserve(args.size() + 1);
    for (auto& a : args) c_args.push_back(&a[0]);
    c_args.push_back(nullptr);
    const std::string& user = getUser();
    const std::string& group = getGroup();
    groups_message = "cannot set \"" + user + "\" groups";
    group_message = "cannot set \"" + (group.empty() ? user : group) + "\" group";
    user_message = "cannot set \"" + user + "\"user";
    exec_message = "exec( " + path + " ) error";
  } catch (...) {
    closeAll();
    throw;
  }
  Launch::ChildPlan plan;
  plan.path = path.c_str();
  plan.args = c_args.data();
  plan.answerWrite = answer_pipe[1];
  plan.errWrite = err_pipe[1];
  plan.reportWrite = report_pipe[1];
  plan.account = &account;
  plan.groupsMessage = groups_message.c_str();
  plan.groupMessage = group_message.c_str();
  plan.userMessage = user_message.c_str();
  plan.execMessage = exec_message.c_str();
  // The daemon raised its own descriptor limit; the component gets the one
  // the daemon was started with.
  const rlim_t child_limit = Utils::childNoFileLimit();
  struct rlimit current;
  if (child_limit != RLIM_INFINITY && getrlimit(RLIMIT_NOFILE, &current) == 0 &&
      current.rlim_cur != child_limit) {
    plan.setNoFileLimit = true;
    plan.noFileLimit.rlim_cur = child_limit < current.rlim_max ? child_limit : current.rlim_max;
    plan.noFileLimit.rlim_max = current.rlim_max;
  }

  const pid_t forked = Launch::spawn(plan);
  if (forked < 0) {
    closeAll();
    throw std::runtime_error("fork() error");
  }

  close(answer_pipe[1]);
  close(report_pipe[1]);
  if (reportFd >= 0) close(reportFd);
  reportFd = report_pipe[0];
  answer_fd = answer_pipe[0];
  if (err_pipe[1] >= 0) {
    close(err_pipe[1]);
    err_fd = err_pipe[0];
  }
  // Recorded before anything can fail: a daemon that dies from here on
  // leaves a child the next instance finds.
  StateJournal::instance().started(forked, Utils::processStartTime(forked), timeStop, name);
  assignPid(forked);
  child = forked;
  return true;
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
  if (stopPid(child)) throw StopedHimself();
  throw std::runtime_error(text);
}

void Component::startCheckOnly(const CompStrategy& strategy, const std::string& app_path) {
  monitorLog().debug("Component::startCheckOnly() " + name);
  int answer_fd = -1;
  int err_fd = 0;
  pid_t child = -1;
  __start(strategy, app_path, answer_fd, err_fd, child);

  writeErr("checking \"" + name + "\" component: ");
  long long budget_us = static_cast<long long>(timeStart) * 1000000;
  // The child's standard error (check-all mode) is drained while the
  // report is read.
  int drain = errFd;
  try {
    std::string line;
    bool more = IO::readLine(answer_fd, budget_us, line, &drain);
    if (line.compare(0, 10, "Options OK") == 0) {
      writeErr("OK\n");
    } else {
      conf_warning_issued = true;
      bool printed = false;
      auto printLine = [&]() {
        if (line.empty()) return;
        if (!printed) writeErr("\n");
        printed = true;
        writeErr("    " + line + "\n");
        line.clear();
      };
      do {
        printLine();
        more = IO::readLine(answer_fd, budget_us, line, &drain);
      } while (more);
      printLine();
      if (!printed) checkEarlyDeath(answer_fd);
    }
  } catch (const IO::TimeoutException&) {
    writeErr("timeout (" + std::to_string(timeStart) + " sec) expired\n");
    conf_warning_issued = true;
  } catch (const IO::Error& e) {
    writeErr(std::string(" executing error: ") + e.what() + "\n");
    conf_warning_issued = true;
  } catch (const std::exception& e) {
    writeErr(std::string(e.what()) + "\n");
    conf_warning_issued = true;
  }
  // The report is all we read; the child is reaped when the component is
  // stopped.
  if (answer_fd >= 0) close(answer_fd);
  logLaunchReport();
}

bool Component::stop(bool is_fault) {
  debugLine([&] { return std::string("Component::stop() # " + name + " " + dump(true)); });
  if (is_fault) monitorLog().debug("component \"" + name + "\" fault");
  if (started) {
    started = false;
    closeFd();
    closeErrFd();
    return stopPid(pid);
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
