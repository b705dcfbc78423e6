#include "monitor/monitor_program.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/program_options.hpp>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

#include "base/child_wait.h"
#include "base/flags.h"
#include "base/log.h"
#include "base/memory.h"
#include "base/proc_info.h"
#include "base/state_journal.h"
#include "base/utils.h"
#include "monitor/monitor_server.h"

namespace po = boost::program_options;
using korza::monitorLog;

namespace {

const char* const kDefaultConfFile = KZ_CONF_FILE;

std::string versionLine() {
  return std::string(korza::kProgramName) + " for " + Utils::osName() + ", version " +
         Utils::version();
}

}  // namespace

ProgramOptions parseOptions(int argc, const char* const* argv) {
  ProgramOptions opts;
  try {
    const unsigned line_length = po::options_description::m_default_line_length;
    po::options_description desc("Use: korza-monitor [OPTION]", line_length, line_length / 2);
    desc.add_options()("help,h", "display this message")("version,v", "display version")(
        "update,u", "use update mode")("check-only,C", po::bool_switch(&opts.checkOnly),
                                       "perform configuration check and exit")(
        "check-all,A", po::bool_switch(&opts.checkAll),
        "perform configuration for all components and exit")(
        "run,r", po::value<std::string>(&opts.runList),
        "run applications (POSTD,ICAP - without space)")(
        "conf,c", po::value<std::string>(&opts.confFile)->default_value(kDefaultConfFile),
        "use config file");
    po::variables_map vm;
    po::store(po::parse_command_line(argc, argv, desc), vm);
    po::notify(vm);
    if (vm.count("help")) {
      std::ostringstream out;
      out << desc;
      throw MonitorProgram::exit(out.str());
    }
    if (vm.count("version")) throw MonitorProgram::exit(versionLine());
    if (vm.count("update")) opts.update = true;
  } catch (const MonitorProgram::exit&) {
    throw;
  } catch (const std::exception& e) {
    throw CommandLineError(e.what());
  }
  if (opts.checkAll) opts.checkOnly = true;
  return opts;
}

MonitorProgram::MonitorProgram(const std::string& run_list, bool update_mode)
    : runList(run_list), updateMode(update_mode) {}

MonitorProgram::~MonitorProgram() {
  monitorLog().debug("~MonitorProgram()");
  bool stopped = false;
  try {
    stop();
    if (monitor_) monitor_->stop();
    stopped = true;
  } catch (const std::exception& e) {
    // Nothing may escape a destructor; what could not be stopped is logged.
    monitorLog().error(std::string("MonitorProgram: stop error: ") + e.what());
  }
  monitor_.reset();
  // A clean stop leaves nothing for the next instance to stop; after a
  // failed one the record stays, still under the lock.
  if (!stateFile.empty()) StateJournal::instance().close(stopped);
  if (!pidFile.empty()) {
    try {
      Utils::unlinkPidFile(pidFile, pid_fd_);
    } catch (const std::exception& e) {
      monitorLog().error(e.what());
    }
  }
}

bool MonitorProgram::createMonitor(const std::string& conf_file) {
  try {
    monitor_.reset(new MonitorServer(conf_file, runList, updateMode));
  } catch (const std::exception& e) {
    throw error(e.what(), error::kCreate);
  }
  return true;
}

void MonitorProgram::changeLogFileOwner() {
  const std::string file = monitor_->getLogFileName();
  if (file.empty() || file == "syslog") return;
  if (getuid() != 0 && getgid() != 0) return;
  uid_t uid = 0;
  gid_t gid = 0;
  const std::string& user = monitor_->getUser();
  const std::string& group = monitor_->getGroup();
  // An empty name means "keep the account", so there is nothing to look up.
  if (!user.empty()) {
    try {
      uid = Utils::userId(user);
      // A user without a group brings its primary group.
      if (group.empty()) gid = Utils::resolveAccount(user, std::string()).gid;
    } catch (const std::exception& e) {
      monitorLog().error("cannot get UID for user \"" + user + "\": " + e.what());
    }
  }
  if (!group.empty()) {
    try {
      gid = Utils::groupId(group);
    } catch (const std::exception& e) {
      monitorLog().error("cannot get GID for group \"" + group + "\": " + e.what());
    }
  }
  if (uid == 0) {
    try {
      uid = monitor_->firstNotRootUID();
    } catch (const std::exception& e) {
      monitorLog().error(std::string("cannot find component with not root UID: ") + e.what());
    }
  }
  if (gid == 0) {
    try {
      gid = monitor_->firstNotRootGID();
    } catch (const std::exception& e) {
      monitorLog().error(std::string("cannot find component with not root GID: ") + e.what());
    }
  }
  // 0 keeps the owner as it is. The file is handed over through a
  // descriptor opened without following a link, so a link planted in its
  // place cannot give another file away.
  if (uid == 0 && gid == 0) return;
  int fd;
  do fd = open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  int err = 0;
  if (fd < 0) {
    err = errno;
  } else {
    struct stat st;
    err = fstat(fd, &st) != 0 ? errno : (S_ISREG(st.st_mode) ? 0 : EINVAL);
    if (err == 0 && fchown(fd, uid == 0 ? static_cast<uid_t>(-1) : uid,
                           gid == 0 ? static_cast<gid_t>(-1) : gid) != 0)
      err = errno;
    close(fd);
  }
  if (err != 0) {
    monitorLog().error("cannot change permissions for \"" + file +
                       "\" log file: " + Utils::errorText(err));
  }
}

bool MonitorProgram::changePermissions() {
  changeLogFileOwner();
  const std::string& user = monitor_->getUser();
  const std::string& group = monitor_->getGroup();
  // An account that cannot be looked up never leaves the daemon running as
  // root: start-up ends.
  try {
    Utils::resolveAccount(user, group);
  } catch (const Utils::error& e) {
    throw error(e.what(), error::kCreate);
  }
  try {
    if (Utils::setUserAndGroup(user, group)) {
      monitorLog().info("permissions were changed to \"" + user + ":" + group + "\"");
    } else {
      monitorLog().debug(std::string(korza::kProgramName) + " permission \"" +
                         Utils::currentUserName() + ":" + Utils::currentGroupName() + "\"");
    }
    return true;
  } catch (const std::exception& e) {
    monitorLog().error(std::string("change permission error: ") + e.what());
    return false;
  }
}

void MonitorProgram::daemonize() {
  if (monitor_->getRunForeground()) return;
  if (getppid() != 1) {
    // Buffered log lines belong to the process that goes on.
    korza::LogClass::flush();
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid < 0) {
      throw error("cannot create new session: " + Utils::errorText(errno), error::kNewSession);
    }
    if (pid > 0) _exit(0);
    if (setsid() < 0) {
      throw error("cannot create new session: " + Utils::errorText(errno), error::kNewSession);
    }
  }
  const std::string& dir = monitor_->getChDir();
  if (!dir.empty() && chdir(dir.c_str()) != 0) {
    throw error("cannot change directory to \"" + dir + "\": " + Utils::errorText(errno),
                error::kWorkingDirectory);
  }
  if (freopen("/dev/null", "r", stdin) == nullptr || freopen("/dev/null", "w", stdout) == nullptr ||
      freopen("/dev/null", "w", stderr) == nullptr) {
    monitorLog().error("cannot reopen the standard streams on /dev/null: " +
                       Utils::errorText(errno));
  }
}

void MonitorProgram::createPidFile() {
  try {
    const pid_t pid = getpid();
    const std::string file = monitor_->getPidFileDir() + korza::kProgramName + ".pid";
    pid_fd_ = Utils::createPidFile(file, pid);
    pidFile = file;
    monitor_->setPid(pid);
  } catch (const std::exception& e) {
    throw error(e.what(), error::kPidFile);
  }
}

void MonitorProgram::raiseDescriptorLimit() {
  rlim_t before = 0;
  rlim_t after = 0;
  const auto text = [](rlim_t value) {
    return value == RLIM_INFINITY ? std::string("unlimited") : std::to_string(value);
  };
  if (Utils::raiseNoFileLimit(before, after)) {
    monitorLog().debug("descriptor limit: soft " + text(before) + ", raised to the hard limit " +
                       text(after));
  } else {
    monitorLog().debug("descriptor limit: cannot raise soft " + text(before) + ": " +
                       Utils::errorText(errno));
  }
}

namespace {

// Gone, or another process now: nothing more to wait for.
bool leftoverEnded(const StateJournal::Entry& e) {
  return Utils::processStartTime(e.pid) != e.startTime;
}

// Keeps the entries still running; false when none is left.
bool pruneEnded(std::vector<StateJournal::Entry>& running) {
  running.erase(std::remove_if(running.begin(), running.end(), leftoverEnded), running.end());
  return !running.empty();
}

// Sleeps with a growing step until every entry ended or the deadline.
void waitEnded(std::vector<StateJournal::Entry>& running,
               std::chrono::steady_clock::time_point deadline) {
  auto step = std::chrono::milliseconds(1);
  while (pruneEnded(running) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(step);
    if (step < std::chrono::milliseconds(50)) step *= 2;
  }
}

std::string leftoverLabel(const StateJournal::Entry& e) {
  return "component \"" + Utils::printable(e.name) +
         "\" left by a previous instance, pid=" + std::to_string(e.pid);
}

}  // namespace

void MonitorProgram::stopLeftovers() {
  const std::string file = monitor_->getPidFileDir() + korza::kProgramName + ".state";
  std::vector<StateJournal::Entry> entries;
  std::string why;
  if (!StateJournal::readTrusted(file, entries, why) && !why.empty())
    monitorLog().alert("state file \"" + file + "\" ignored: " + why);
  // A pid whose start time differs is another process now: never signalled.
  std::vector<StateJournal::Entry> running;
  uint32_t longest = 0;
  for (const auto& e : entries) {
    if (e.startTime == 0 || leftoverEnded(e)) continue;
    monitorLog().alert("stopping " + leftoverLabel(e));
    Utils::killGroup(e.pid, SIGTERM);
    running.push_back(e);
    if (e.stopSeconds > longest) longest = e.stopSeconds;
  }
  // All at once: the wait is that of the longest stop time, not their sum.
  if (!running.empty()) {
    const auto begin = std::chrono::steady_clock::now();
    waitEnded(running, begin + std::chrono::seconds(longest));
    for (const auto& e : running) {
      monitorLog().alert("killing " + leftoverLabel(e));
      Utils::killGroup(e.pid, SIGKILL);
    }
    // Not our children: whoever reaps them does so shortly.
    waitEnded(running, std::chrono::steady_clock::now() + std::chrono::seconds(5));
    for (const auto& e : running) monitorLog().error("cannot stop " + leftoverLabel(e));
  }
  StateJournal& journal = StateJournal::instance();
  if (!journal.open(file)) {
    monitorLog().error("cannot create state file \"" + file + "\": " + Utils::errorText(errno));
    return;
  }
  // What could not be stopped stays recorded for the next instance.
  for (const auto& e : running) journal.started(e.pid, e.startTime, e.stopSeconds, e.name);
  stateFile = file;
}

void MonitorProgram::setSignalProcessors() {
  SignalExecutor* exec = monitor_.get();
  addProcessor(SIGCHLD, std::make_unique<InformProcessor>(exec, "SIGCHLD"));
  addProcessor(SIGTTOU, std::make_unique<InformProcessor>(exec, "SIGTTOU"));
  addProcessor(SIGTTIN, std::make_unique<InformProcessor>(exec, "SIGTTIN"));
  addProcessor(SIGTERM, std::make_unique<TerminateProcessor>(exec, "SIGTERM"));
  addProcessor(SIGINT, std::make_unique<TerminateProcessor>(exec, "SIGINT"));
  addProcessor(SIGHUP, std::make_unique<ReloadProcessor>(exec, "SIGHUP"));
  addProcessor(SIGUSR1, std::make_unique<LogReopenProcessor>(exec, "SIGUSR1"));
  addProcessor(SIGUSR2, std::make_unique<IgnoreProcessor>(exec, "SIGUSR2"));
  start();
}

bool MonitorProgram::verifyDependences() {
  try {
    Monitor::NameSet first;
    monitor_->getFirstRunAppSet(first);
    return true;
  } catch (const std::exception& e) {
    monitorLog().error(std::string("dependences verification error: ") + e.what());
    return false;
  }
}

namespace {

// While the supervisor starts (minutes, with retries on a long recovery
// list) the signal loop does not run yet. This watch looks for a pending
// SIGTERM or SIGINT and turns it into a stop of the supervisor; the signal
// itself stays pending and the signal loop (or the exit) takes it.
class StartupWatch {
 public:
  explicit StartupWatch(SignalExecutor& executor) : executor_(executor) {
    thread_ = std::thread([this] { run(); });
  }
  ~StartupWatch() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    cond_.notify_all();
    thread_.join();
  }
  StartupWatch(const StartupWatch&) = delete;
  StartupWatch& operator=(const StartupWatch&) = delete;

  bool stopRequested() const { return stopRequested_.load(); }

 private:
  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!done_) {
      sigset_t pending;
      if (sigemptyset(&pending) == 0 && sigpending(&pending) == 0) {
        const int signo = sigismember(&pending, SIGTERM) == 1  ? SIGTERM
                          : sigismember(&pending, SIGINT) == 1 ? SIGINT
                                                               : 0;
        if (signo != 0) {
          stopRequested_ = true;
          lock.unlock();
          executor_.terminate(signo, signo == SIGTERM ? "SIGTERM" : "SIGINT");
          return;
        }
      }
      cond_.wait_for(lock, std::chrono::milliseconds(50));
    }
  }

  SignalExecutor& executor_;
  std::mutex mutex_;
  std::condition_variable cond_;
  bool done_ = false;  // GUARDED_BY(mutex_)
  std::atomic<bool> stopRequested_{false};
  std::thread thread_;
};

}  // namespace

bool MonitorProgram::startMonitor() {
  StartupWatch watch(*monitor_);
  try {
    monitor_->start();
    return !watch.stopRequested();
  } catch (...) {
    // A stop asked for during the start is no start failure.
    if (watch.stopRequested()) return false;
    monitor_->setState(false);
    if (monitor_->getPid() > 0) kill(monitor_->getPid(), SIGTERM);
    try {
      throw;
    } catch (const MonitorProgram::exit&) {
      throw;
    } catch (const std::exception& e) {
      throw error(e.what(), error::kStart);
    }
  }
}

bool MonitorProgram::startMainLoopThread() {
  monitorLog().debug("startMainLoopThread: creating thread mainLoopThread");
  try {
    Monitor* m = monitor_.get();
    mainLoopThread = std::thread([m] { m->mainLoop(); });
  } catch (const std::exception&) {
    monitorLog().error("cannot create mainLoopThread");
    return false;
  }
  std::ostringstream id;
  id << mainLoopThread.get_id();
  monitorLog().debug("startMainLoopThread: created thread mainLoopThread: id=" + id.str());
  return true;
}

void MonitorProgram::stop() {
  monitorLog().debug("MonitorProgram::stop()");
  if (monitor_ && monitor_->getState() == RunState::STARTED) monitor_->setState(false);
  if (mainLoopThread.joinable()) mainLoopThread.join();
}

int korzaMain(int argc, const char* const* argv) {
  korza::keepLargeBlocksMapped();
  ProgramOptions opts;
  try {
    opts = parseOptions(argc, argv);
  } catch (const MonitorProgram::exit& e) {
    std::cout << e.what() << std::endl;
    return 0;
  } catch (const CommandLineError& e) {
    std::cerr << korza::kProgramName << ": " << e.what() << "\n"
              << "Try '" << korza::kProgramName << " --help' for more options" << std::endl;
    return 6;
  }
  checkMode = opts.checkOnly || opts.checkAll;
  checkAll = opts.checkAll;
  korza::initMonitorLogging("syslog", "info", "error", "daemon", checkMode);

  const std::string title = korza::kProgramTitle;
  int status = 0;
  try {
    MonitorProgram program(opts.runList, opts.update);
    monitorLog().info(title + " starting");
    program.createMonitor(opts.confFile);
    program.raiseDescriptorLimit();
    if (!program.changePermissions()) conf_warning_issued = true;
    if (!opts.checkOnly && !opts.checkAll) program.daemonize();
    if (!checkMode) {
      program.createPidFile();
      program.stopLeftovers();
    }
    program.setSignalProcessors();
    if (checkMode && !checkAll && !program.verifyDependences()) conf_warning_issued = true;
    if (!checkMode || checkAll) {
      if (program.startMonitor() && !checkAll) {
        if (program.startMainLoopThread()) monitorLog().info(title + " started");
        program.waitSignals();
      }
    }
  } catch (const MonitorProgram::exit& e) {
    std::cout << e.what() << std::endl;
    return 0;
  } catch (const MonitorProgram::error& e) {
    const std::string msg = std::string("program create error: ") + e.what();
    monitorLog().error(msg);
    std::cerr << msg << std::endl;
    conf_warning_issued = true;
    status = 8;
  } catch (const std::exception& e) {
    const std::string msg = std::string("global error: ") + e.what();
    monitorLog().error(msg);
    std::cerr << msg << std::endl;
    conf_warning_issued = true;
    status = 1;
  }
  if (opts.checkOnly) {
    if (conf_warning_issued) {
      std::cerr << "Options ERROR" << std::endl;
    } else {
      std::cout << "Options OK" << std::endl;
    }
  }
  monitorLog().info(title + " shutdown");
  korza::LogClass::flush();
  return status;
}
