#include "apps/launch.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <mutex>

#include "apps/comp_strategy.h"
#include "apps/component.h"
#include "apps/component_internal.h"
#include "apps/stderr_collector.h"
#include "base/flags.h"
#include "base/log.h"
#include "base/proc_info.h"
#include "base/spawn.h"
#include "base/state_journal.h"
#include "base/utils.h"

namespace {

// Moves a new pipe end above the standard descriptors (so that the child's
// redirections cannot clobber it) and marks it close-on-exec, so that no
// other child forked meanwhile holds the write end open.
int prepareEnd(int end) {
  if (end <= 2) {
    const int moved = fcntl(end, F_DUPFD, 3);
    if (moved < 0) return -1;
    close(end);
    end = moved;
  }
  if (fcntl(end, F_SETFD, FD_CLOEXEC) < 0) {
    close(end);
    return -1;
  }
  return end;
}

}  // namespace

bool Launch::makePipe(int ends[2]) {
  int raw[2];
  if (pipe(raw) < 0) return false;
  ends[0] = prepareEnd(raw[0]);
  ends[1] = prepareEnd(raw[1]);
  if (ends[0] < 0 || ends[1] < 0) {
    if (ends[0] >= 0) close(ends[0]);
    if (ends[1] >= 0) close(ends[1]);
    return false;
  }
  return true;
}

namespace {

using Launch::ChildPlan;

// --- Everything below up to the end of the child's code runs in the
// started child: async-signal-safe calls only, no allocation, no locks. In
// a shared start (Shared below) it runs in the daemon's own memory while
// the starting thread waits: it writes nothing but its own stack.

// Where a failing step is reported: the answer ("E") and the report pipe.
struct ChildOut {
  int answer;
  int report;
};

// Forked child: its own copy of everything; library calls.
struct Forked {
  static long write(int fd, const void* data, size_t size) {
    ssize_t w;
    do {
      w = ::write(fd, data, size);
    } while (w < 0 && errno == EINTR);
    return w;
  }
  [[noreturn]] static void exit(int code) { _exit(code); }
  static int dup2(int from, int to) { return ::dup2(from, to) < 0 ? -1 : 0; }
  static int close(int fd) { return ::close(fd); }
  static int setNoFileLimit(const struct rlimit& limit) { return setrlimit(RLIMIT_NOFILE, &limit); }
  // Removes the signals from the mask inherited from the starting thread.
  static int unblock(const sigset_t& set, const sigset_t*) {
    return sigprocmask(SIG_UNBLOCK, &set, nullptr);
  }
  static int applyAccount(const Utils::Account& account) { return Utils::applyAccount(account); }
};

// Child sharing the daemon's memory: plain system calls (base/spawn.h).
struct Shared {
  static long write(int fd, const void* data, size_t size) { return Spawn::write(fd, data, size); }
  [[noreturn]] static void exit(int code) { Spawn::exit(code); }
  static int dup2(int from, int to) { return Spawn::dup2(from, to); }
  static int close(int fd) { return Spawn::close(fd); }
  static int setNoFileLimit(const struct rlimit& limit) { return Spawn::setNoFileLimit(limit); }
  // The child starts with every signal blocked: the daemon's handlers go
  // first, then the starting thread's mask comes back without the signals.
  static int unblock(const sigset_t& set, const sigset_t* callerMask) {
    if (Spawn::resetCaughtSignals() != 0) return -1;
    sigset_t mask = *callerMask;
    for (int signo = 1; signo < 65; ++signo) {
      if (sigismember(&set, signo) == 1) sigdelset(&mask, signo);
    }
    return Spawn::setSignalMask(&mask);
  }
  static int applyAccount(const Utils::Account& account) { return Spawn::applyAccount(account); }
};

// Writes the message, a NUL and the error number in decimal to the report
// pipe (the parent turns the number into its text and logs the line), then
// the single byte "E" as the answer, and ends the child.
template <typename Ops>
[[noreturn]] void childFail(const ChildOut& out, const char* message, int err, int code) {
  char buf[512];
  size_t n = 0;
  for (const char* p = message; *p != '\0' && n < sizeof(buf) - 16; ++p) buf[n++] = *p;
  buf[n++] = '\0';
  char digits[12];
  size_t d = 0;
  unsigned value = err < 0 ? 0u : static_cast<unsigned>(err);
  do {
    digits[d++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0 && d < sizeof(digits));
  while (d > 0) buf[n++] = digits[--d];
  Ops::write(out.report, buf, n);
  Ops::write(out.answer, "E", 1);
  Ops::exit(code);
}

// Sorts up to four descriptors in place.
void sortFds(int* fds, int count) {
  for (int i = 0; i < count; ++i) {
    for (int j = i + 1; j < count; ++j) {
      if (fds[j] < fds[i]) {
        const int t = fds[i];
        fds[i] = fds[j];
        fds[j] = t;
      }
    }
  }
}

// Closes [low, high]; nothing when the range is empty.
void closeRange(long low, long high) {
  if (low > high) return;
#if defined(__linux__) && defined(__GLIBC__) && \
    (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  const unsigned top = high > 0x7fffffffL ? ~0u : static_cast<unsigned>(high);
  if (close_range(static_cast<unsigned>(low), top, 0) == 0) return;
#elif defined(__FreeBSD__)
  if (high >= 0x7fffffffL) {
    closefrom(static_cast<int>(low));
    return;
  }
#endif
  const long cap = high > (1L << 20) ? (1L << 20) : high;
  for (long fd = low; fd <= cap; ++fd) close(static_cast<int>(fd));
}

// Forked child's descriptors: standard streams on /dev/null, everything
// from 3 up to the soft limit closed except the pipe ends.
void forkedDescriptors(const ChildPlan& plan, const ChildOut& out, const struct rlimit& limit) {
  const int null_fd = open("/dev/null", O_RDONLY);
  if (null_fd < 0) childFail<Forked>(out, "cannot redirect std streams to /dev/null", errno, 1);
  for (int target = 0; target <= 2; ++target) {
    if (target != null_fd && dup2(null_fd, target) < 0)
      childFail<Forked>(out, "cannot redirect std streams to /dev/null", errno, 1);
  }
  if (null_fd > 2) close(null_fd);

  const long soft = limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > 0x7fffffffUL
                        ? 0x7fffffffL
                        : static_cast<long>(limit.rlim_cur);
  int keep[3] = {plan.answerWrite, plan.errWrite < 0 ? plan.answerWrite : plan.errWrite,
                 plan.reportWrite};
  sortFds(keep, 3);
  long next = 3;
  for (int k : keep) {
    closeRange(next, k - 1L);
    if (k + 1L > next) next = k + 1L;
  }
  closeRange(next, soft - 1);
}

// The steps after the descriptor set-up, common to both kinds of child.
template <typename Ops>
[[noreturn]] void finishChild(const ChildPlan& plan, int answer, int err, ChildOut out,
                              const sigset_t* callerMask) {
  if (Ops::dup2(answer, 1) != 0) childFail<Ops>(out, "dup2() error", errno, 1);
  Ops::close(answer);
  out.answer = 1;
  if (err >= 0) {
    if (Ops::dup2(err, 2) != 0) childFail<Ops>(out, "dup2() error", errno, 1);
    Ops::close(err);
  }
  if (plan.setNoFileLimit && Ops::setNoFileLimit(plan.noFileLimit) != 0)
    childFail<Ops>(out, "cannot set system limits", errno, 1);

  sigset_t set;
  if (sigemptyset(&set) != 0) childFail<Ops>(out, "sigaddset() error", errno, 2);
  const int kSignals[] = {SIGHUP, SIGTERM, SIGINT, SIGPIPE, SIGCHLD, SIGTTOU, SIGTTIN};
  for (int signo : kSignals) {
    if (sigaddset(&set, signo) != 0) childFail<Ops>(out, "sigaddset() error", errno, 2);
  }
  if (Ops::unblock(set, callerMask) != 0) childFail<Ops>(out, "sigprocmask() error", errno, 2);

  switch (Ops::applyAccount(*plan.account)) {
    case 1:
      childFail<Ops>(out, plan.groupsMessage, errno, 3);
    case 2:
      childFail<Ops>(out, plan.groupMessage, errno, 3);
    case 3:
      childFail<Ops>(out, plan.userMessage, errno, 4);
    default:
      break;
  }
  if (setsid() < 0) childFail<Ops>(out, "setsid() error", errno, 7);

  execv(plan.path, plan.args);
  childFail<Ops>(out, plan.execMessage, errno, 5);
}

[[noreturn]] void runForked(const ChildPlan& plan) {
  const ChildOut out{plan.answerWrite, plan.reportWrite};
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
    childFail<Forked>(out, "cannot get system limits", errno, 1);
  forkedDescriptors(plan, out, limit);
  finishChild<Forked>(plan, plan.answerWrite, plan.errWrite, out, nullptr);
}

// Low descriptors the daemon keeps for shared starts: /dev/null, and the
// places the pipe ends are copied to for the time of a start, so that the
// child's own table needs only the descriptors up to `top`.
struct Slots {
  int null = -1;
  int answer = -1;
  int err = -1;
  int report = -1;
  int top = -1;
};

// What a shared child reads: the plan, the slots, the starting thread's
// signal mask (written before the child runs).
struct SharedStart {
  const ChildPlan* plan;
  Slots slots;
  bool withErr;
  sigset_t callerMask;
};

int runShared(void* arg) {
  const SharedStart& start = *static_cast<const SharedStart*>(arg);
  const Slots& slots = start.slots;
  const ChildOut out{slots.answer, slots.report};
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
    childFail<Shared>(out, "cannot get system limits", errno, 1);
  // Until here the child writes into the daemon's descriptor table only
  // through the two slots it reports on; from here on it has its own.
  if (Spawn::unshareDescriptorsBelow(slots.top + 1) != 0)
    childFail<Shared>(out, "cannot redirect std streams to /dev/null", errno, 1);
  int keep[4] = {slots.null, slots.answer, slots.report, start.withErr ? slots.err : slots.null};
  sortFds(keep, 4);
  int next = 3;
  for (int k : keep) {
    Spawn::closeRange(next, k - 1);
    if (k + 1 > next) next = k + 1;
  }
  for (int target = 0; target <= 2; ++target) {
    if (Spawn::dup2(slots.null, target) != 0)
      childFail<Shared>(out, "cannot redirect std streams to /dev/null", errno, 1);
  }
  Spawn::close(slots.null);
  finishChild<Shared>(*start.plan, slots.answer, start.withErr ? slots.err : -1, out,
                      &start.callerMask);
}

// --- End of the child's code.

std::atomic<bool> g_force_fork{false};
std::mutex g_slots_mutex;
Slots g_slots;  // guarded by g_slots_mutex

// A close-on-exec copy of `fd` at 3 or above; -1 on failure.
int lowCopy(int fd) {
  int copy;
  do {
    copy = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  } while (copy < 0 && errno == EINTR);
  return copy;
}

// REQUIRES: g_slots_mutex held. False when the descriptors are not there.
bool reserveSlots() {
  if (g_slots.null >= 0) return true;
  const int opened = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (opened < 0) return false;
  Slots slots;
  slots.null = opened > 2 ? opened : lowCopy(opened);
  if (opened <= 2) close(opened);
  slots.answer = slots.null < 0 ? -1 : lowCopy(slots.null);
  slots.err = slots.answer < 0 ? -1 : lowCopy(slots.null);
  slots.report = slots.err < 0 ? -1 : lowCopy(slots.null);
  if (slots.report < 0) {
    for (int fd : {slots.null, slots.answer, slots.err}) {
      if (fd >= 0) close(fd);
    }
    return false;
  }
  int all[4] = {slots.null, slots.answer, slots.err, slots.report};
  sortFds(all, 4);
  slots.top = all[3];
  g_slots = slots;
  return true;
}

}  // namespace

bool Launch::sharedStart() { return Spawn::sharedAvailable() && !g_force_fork; }

void Launch::TEST_forceFork(bool force) { g_force_fork = force; }

pid_t Launch::spawn(const ChildPlan& plan) {
  if (sharedStart()) {
    std::lock_guard<std::mutex> lock(g_slots_mutex);
    if (reserveSlots()) {
      SharedStart start;
      start.plan = &plan;
      start.slots = g_slots;
      start.withErr = plan.errWrite >= 0;
      pid_t child = -1;
      int err = 0;
      if (Spawn::dupCloseOnExec(plan.answerWrite, g_slots.answer) != 0 ||
          Spawn::dupCloseOnExec(plan.reportWrite, g_slots.report) != 0 ||
          (start.withErr && Spawn::dupCloseOnExec(plan.errWrite, g_slots.err) != 0)) {
        err = errno;
      } else {
        child = Spawn::startShared(runShared, &start, &start.callerMask);
        err = errno;
      }
      // The slots must not keep the write ends open: the answer pipe's end
      // of file is how the daemon learns that the child has gone.
      Spawn::dupCloseOnExec(g_slots.null, g_slots.answer);
      Spawn::dupCloseOnExec(g_slots.null, g_slots.report);
      if (start.withErr) Spawn::dupCloseOnExec(g_slots.null, g_slots.err);
      errno = err;
      return child;
    }
  }
  const pid_t forked = fork();
  if (forked == 0) runForked(plan);
  return forked;
}

// The component's side of a launch: the pipes, the plan the child follows,
// and the bookkeeping once it runs.
using component_internal::debugLine;
using korza::monitorLog;

// NOLINTNEXTLINE(bugprone-reserved-identifier)
void Component::__start(const CompStrategy& strategy, const std::string& app_path, int& answer_fd,
                        int& err_fd, pid_t& child) {
  debugLine([&] { return std::string("Component::__start() # " + dump(true)); });
  if (started) throw std::logic_error("component \"" + name + "\" has started");
  // The standard error goes to a pipe in check-all mode (read with the
  // report) and, outside the check modes, when it is to be logged.
  const bool logged = !checkMode && StderrCollector::instance().logging();
  err_fd = checkAll || logged ? -1 : 0;
  startComp(strategy, app_path, answer_fd, err_fd, child);
  started = true;
  closeErrFd();
  releaseStderr();
  lastWords_.reset();
  if (err_fd > 0) {
    errFd = err_fd;
    // Watched from before the answer: what a component says when it cannot
    // start is what the administrator most needs.
    if (logged) stderrLogged_ = StderrCollector::instance().watch(err_fd, child, name);
    if (logged && !stderrLogged_) errFd = -1;
  }
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
