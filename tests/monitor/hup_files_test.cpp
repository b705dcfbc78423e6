#include "monitor/hup_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "base/utils.h"
#include "tests/support/lock_holder.h"
#include "tests/support/log_capture.h"
#include "tests/support/process_runner.h"
#include "tests/support/sandbox.h"

namespace {

TEST(HupFileName, ParsesNameAndPid) {
  std::string name;
  int pid = 0;
  const std::pair<const char*, std::string> good[] = {
      {"/var/run/cmp.812.hup", "cmp/812"}, {"/d/my.comp.7.hup", "my.comp/7"}, {"/d/.9.hup", "/9"}};
  for (const auto& [path, parsed] : good) {
    ASSERT_TRUE(parseHupFileName(path, name, pid)) << path;
    EXPECT_EQ(name + "/" + std::to_string(pid), parsed);
  }
  for (const char* bad : {"/d/.hup", "/d/cmp.hup", "/d/cmp..hup", "/d/cmp.12x.hup", "/d/cmp.-1.hup",
                          "/d/cmp.0.hup", "/d/cmp. 5.hup", "/d/cmp.5.hu"}) {
    EXPECT_FALSE(parseHupFileName(bad, name, pid)) << bad;
  }
}

class HupFilesTest : public ::testing::Test {
 protected:
  kztest::TempDir dir_;
  std::string run_ = dir_.path() + "/";
  LogCapture log_;
};

TEST_F(HupFilesTest, StaleFileIsRemovedAndLiveOneSignalled) {
  const std::string hups = dir_.file("hups");
  kztest::writeFile(run_ + "old.99999.hup", "");
  kztest::writeFile(run_ + "broken.hup", "");
  kztest::LockHolder holder(run_, "cmp", hups);
  kztest::LockHolder other(run_, "oth", dir_.file("other-hups"));
  const std::string live = holder.path();

  PidSet pids{holder.pid(), 12345};
  processHupFiles(run_, pids);

  EXPECT_EQ(pids, PidSet{12345});
  EXPECT_FALSE(kztest::fileExists(run_ + "old.99999.hup"));
  EXPECT_TRUE(kztest::fileExists(live));
  EXPECT_TRUE(kztest::waitFor([&] { return kztest::readFile(hups) == "H"; }));
  // A locked file of a pid not named is left alone.
  EXPECT_TRUE(kztest::fileExists(other.path()));
  EXPECT_EQ(kztest::readFile(dir_.file("other-hups")), "");
  const std::string log = log_.text();
  EXPECT_THAT(log, HasSubstr("unlink not locked hup file \"" + run_ + "old.99999.hup\""));
  EXPECT_THAT(log, HasSubstr("bad hup file format \"" + run_ + "broken.hup\""));
  EXPECT_THAT(log, HasSubstr("send HUP signal to component \"cmp\" with pid = " +
                             std::to_string(holder.pid())));
}

// A lock held by one process cannot earn another one the signal.
TEST_F(HupFilesTest, OnlyTheLockHolderNamedByTheFileIsSignalled) {
  kztest::Background victim({"/bin/sleep", "30"}, dir_.file("out"), dir_.file("err"));
  kztest::LockHolder holder(run_, "cmp", dir_.file("hups"));
  const std::string forged = run_ + "x\nALERT forged." + std::to_string(victim.pid()) + ".hup";
  ASSERT_EQ(rename(holder.path().c_str(), forged.c_str()), 0);
  PidSet pids{victim.pid(), holder.pid()};
  processHupFiles(run_, pids);
  EXPECT_EQ(pids, (PidSet{victim.pid(), holder.pid()}));
  EXPECT_TRUE(kztest::fileExists(forged));
  EXPECT_EQ(kztest::readFile(dir_.file("hups")), "");
  // SIGHUP would have ended sleep.
  int status = 0;
  EXPECT_FALSE(victim.wait(std::chrono::milliseconds(200), &status));
  const std::string log = log_.text();
  EXPECT_THAT(log,
              HasSubstr("hup file \"" + run_ + "x\\nALERT forged." + std::to_string(victim.pid()) +
                        ".hup\" is locked by pid " + std::to_string(holder.pid())));
  EXPECT_THAT(log, Not(HasSubstr("\nALERT forged")));
}

TEST_F(HupFilesTest, FifoLinksAndThePidFileAreNeitherOpenedNorRemoved) {
  const std::string pid_file = run_ + "korza-monitor.pid";
  const int pid_fd = Utils::createPidFile(pid_file, getpid());
  ASSERT_EQ(mkfifo((run_ + "fifo.4242.hup").c_str(), 0644), 0);
  ASSERT_EQ(symlink(pid_file.c_str(), (run_ + "link.4243.hup").c_str()), 0);
  ASSERT_EQ(link(pid_file.c_str(), (run_ + "hard.4244.hup").c_str()), 0);
  PidSet pids{4242, 4243, 4244};
  processHupFiles(run_, pids, pid_file);  // a FIFO without a reader must not block this
  EXPECT_EQ(pids, (PidSet{4242, 4243, 4244}));
  const std::string log = log_.text();
  for (const auto& [name, why] :
       {std::make_pair("fifo.4242.hup", "not a regular file"),
        std::make_pair("link.4243.hup", "not a regular file"),
        std::make_pair("hard.4244.hup", "it is the pid file of the monitor")}) {
    struct stat st;
    EXPECT_EQ(lstat((run_ + name).c_str(), &st), 0) << name;
    EXPECT_THAT(log, HasSubstr("skip hup file \"" + run_ + name + "\": " + why));
  }
  Utils::unlinkPidFile(pid_file, pid_fd);
}

}  // namespace
