#include "monitor/hup_files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "base/log.h"
#include "tests/support/process_runner.h"
#include "tests/support/sandbox.h"

namespace {

using korza::LogClass;

TEST(HupFileName, ParsesNameAndPid) {
  std::string name;
  int pid = 0;
  ASSERT_TRUE(parseHupFileName("/var/run/cmp.812.hup", name, pid));
  EXPECT_EQ(name, "cmp");
  EXPECT_EQ(pid, 812);
  ASSERT_TRUE(parseHupFileName("/d/my.comp.7.hup", name, pid));
  EXPECT_EQ(name, "my.comp");
  EXPECT_EQ(pid, 7);
  ASSERT_TRUE(parseHupFileName("/d/.9.hup", name, pid));
  EXPECT_EQ(name, "");
  for (const char* bad : {"/d/.hup", "/d/cmp.hup", "/d/cmp..hup", "/d/cmp.12x.hup", "/d/cmp.-1.hup",
                          "/d/cmp.0.hup", "/d/cmp. 5.hup", "/d/cmp.5.hu"}) {
    EXPECT_FALSE(parseHupFileName(bad, name, pid)) << bad;
  }
}

// A child that locks a hup file, records the SIGHUPs it gets and exits when
// told through a pipe.
class LockHolder {
 public:
  LockHolder(const std::string& path, const std::string& hups) {
    int ready[2];
    if (pipe(ready) != 0 || pipe(release_) != 0) abort();
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      close(release_[1]);
      static std::string* hup_file = new std::string(hups);
      struct sigaction sa;
      memset(&sa, 0, sizeof sa);
      sa.sa_handler = [](int) {
        int fd = open(hup_file->c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd >= 0) {
          if (write(fd, "H", 1) < 0) _exit(5);
          close(fd);
        }
      };
      sigaction(SIGHUP, &sa, nullptr);
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
      struct flock lk;
      memset(&lk, 0, sizeof lk);
      lk.l_type = F_WRLCK;
      if (fd < 0 || fcntl(fd, F_SETLK, &lk) != 0) _exit(2);
      if (write(ready[1], "r", 1) != 1) _exit(3);
      char c;
      while (read(release_[0], &c, 1) < 0 && errno == EINTR) {
      }
      _exit(0);
    }
    close(ready[1]);
    close(release_[0]);
    char c;
    if (read(ready[0], &c, 1) != 1) abort();
    close(ready[0]);
  }
  ~LockHolder() {
    close(release_[1]);
    int st;
    waitpid(pid_, &st, 0);
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_;
  int release_[2];
};

class HupFilesTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(korza::monitorLog().init(log_, "debug", "daemon", false)); }
  void TearDown() override { LogClass::closeFile(); }
  std::string logText() {
    LogClass::flush();
    return kztest::readFile(log_);
  }
  kztest::TempDir dir_;
  std::string run_ = dir_.path() + "/";
  std::string log_ = dir_.file("monitor.log");
};

TEST_F(HupFilesTest, StaleFileIsRemovedAndLiveOneSignalled) {
  const std::string hups = dir_.file("hups");
  kztest::writeFile(run_ + "old.99999.hup", "");
  kztest::writeFile(run_ + "broken.hup", "");
  LockHolder holder(run_ + "cmp.PID.hup", hups);
  const std::string live = run_ + "cmp." + std::to_string(holder.pid()) + ".hup";
  ASSERT_EQ(rename((run_ + "cmp.PID.hup").c_str(), live.c_str()), 0);

  PidSet pids{holder.pid(), 12345};
  processHupFiles(run_, pids);

  EXPECT_EQ(pids, PidSet{12345});
  EXPECT_FALSE(kztest::fileExists(run_ + "old.99999.hup"));
  EXPECT_TRUE(kztest::fileExists(live));
  EXPECT_TRUE(kztest::waitFor([&] { return kztest::readFile(hups) == "H"; }));
  const std::string log = logText();
  EXPECT_NE(log.find("unlink not locked hup file \"" + run_ + "old.99999.hup\""),
            std::string::npos);
  EXPECT_NE(log.find("bad hup file format \"" + run_ + "broken.hup\""), std::string::npos);
  EXPECT_NE(
      log.find("send HUP signal to component \"cmp\" with pid = " + std::to_string(holder.pid())),
      std::string::npos);
}

TEST_F(HupFilesTest, LockedFileOfAnUnnamedPidIsLeftAlone) {
  const std::string hups = dir_.file("hups");
  LockHolder holder(run_ + "cmp.1.hup", hups);
  PidSet pids{777};
  processHupFiles(run_, pids);
  EXPECT_EQ(pids, PidSet{777});
  EXPECT_TRUE(kztest::fileExists(run_ + "cmp.1.hup"));
  EXPECT_EQ(kztest::readFile(hups), "");
}

}  // namespace
