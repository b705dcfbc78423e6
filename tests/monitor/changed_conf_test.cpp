#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>

#include "base/log.h"
#include "monitor/monitor.h"
#include "tests/support/daemon_sandbox.h"

namespace {

using kztest::DaemonSandbox;

// A process that holds a hup file's lock until its pipe closes.
struct HupAnnouncer {
  explicit HupAnnouncer(const std::string& dir) {
    int ready[2];
    if (pipe(ready) != 0 || pipe(release) != 0) abort();
    pid = fork();
    if (pid == 0) {
      close(ready[0]);
      close(release[1]);
      signal(SIGHUP, SIG_DFL);
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      const std::string path = dir + "tool." + std::to_string(getpid()) + ".hup";
      int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
      struct flock lk;
      memset(&lk, 0, sizeof lk);
      lk.l_type = F_WRLCK;
      if (fd < 0 || fcntl(fd, F_SETLK, &lk) != 0) _exit(2);
      if (write(ready[1], "r", 1) != 1) _exit(3);
      char c;
      while (read(release[0], &c, 1) < 0 && errno == EINTR) {
      }
      _exit(0);
    }
    close(ready[1]);
    close(release[0]);
    char c;
    if (read(ready[0], &c, 1) != 1) abort();
    close(ready[0]);
  }
  ~HupAnnouncer() {
    close(release[1]);
    int st;
    waitpid(pid, &st, 0);
  }
  // Waits for the end; true when SIGHUP ended it.
  bool endedByHup() {
    int st = 0;
    if (!kztest::waitFor([&] { return waitpid(pid, &st, WNOHANG) == pid; })) return false;
    pid = -1;
    return WIFSIGNALED(st) && WTERMSIG(st) == SIGHUP;
  }
  pid_t pid;
  int release[2];
};

TEST(ChangedConfiguration, SignalsComponentsAnnouncedProcessesAndReloadsForOwnPid) {
  DaemonSandbox sb;
  sb.addApplication({"AGENT", {}, {{"agent", sb.recordArgs("agent"), 5, 1, "LOG", ""}}});
  sb.writeConf();
  kztest::writeFile(sb.runDir() + "stale.99999.hup", "");
  HupAnnouncer announcer(sb.runDir());
  {
    Monitor monitor(sb.confFile(), "", false);
    monitor.setPid(getpid());
    monitor.start();
    const pid_t agent = sb.waitForInstance("agent");
    ASSERT_GT(agent, 0);

    monitor.addChangedConf({agent});
    monitor.addChangedConf({announcer.pid, getpid(), 4242});
    monitor.changedConfReload();
    Monitor::PidSet left;
    monitor.getChangedConf(left);
    EXPECT_TRUE(left.empty());

    EXPECT_TRUE(kztest::waitFor([&] {
      return kztest::countOf(kztest::readFile(sb.recordFile("agent")), "signal 1\n") >= 1;
    }));
    EXPECT_TRUE(announcer.endedByHup());
    EXPECT_FALSE(kztest::fileExists(sb.runDir() + "stale.99999.hup"));
    korza::LogClass::flush();
    const std::string log = sb.log();
    // The monitor's own pid asks for exactly one full reload.
    EXPECT_EQ(kztest::countOf(log, "Monitor::reload()"), 1u) << log;
    EXPECT_NE(log.find("unlink not locked hup file"), std::string::npos);
    monitor.stop();
  }
  EXPECT_FALSE(sb.anyComponentAlive());
  korza::LogClass::closeFile();
}

}  // namespace
