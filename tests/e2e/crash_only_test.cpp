// End-to-end runs of a daemon that was killed: the next instance stops
// what the killed one left running, and nothing else.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "base/proc_info.h"
#include "tests/e2e/proc_scan.h"
#include "tests/support/daemon_sandbox.h"

namespace {

using kztest::DaemonSandbox;

class CrashOnly : public ::testing::Test {
 protected:
  void SetUp() override {
#ifndef __linux__
    GTEST_SKIP() << "the process checks read /proc";
#endif
    sweeper_.prefix = sb_.appDir();
    sb_.addApplication({"AGENT", {}, {sb_.component("agent"), sb_.component("postd")}});
  }
  std::string stateFile() const { return sb_.runDir() + "korza-monitor.state"; }
  // Starts one more daemon on the same sandbox (the log is appended to).
  void startNext() {
    sb_.writeConf();
    sb_.start();
    ASSERT_TRUE(sb_.waitForLog("Korza (R) Components Monitor started", ++starts_)) << sb_.log();
  }
  // Alive and the same process: a zombie or a reused pid is gone.
  static bool sameProcess(pid_t pid, uint64_t start) {
    return start != 0 && Utils::processStartTime(pid) == start;
  }
  // A daemon that ignores a planted state file naming `bystander` with its
  // right start time: it stops cleanly and the bystander lives.
  void expectIgnored(const kztest::Background& bystander, uint64_t start, const char* why) {
    startNext();
    EXPECT_THAT(sb_.log(), HasSubstr(why));
    EXPECT_TRUE(sameProcess(bystander.pid(), start));
    EXPECT_EQ(sb_.stopWith(SIGTERM), 0);
    EXPECT_TRUE(sameProcess(bystander.pid(), start));
  }

  kztest::ProcessSweeper sweeper_;
  DaemonSandbox sb_;
  size_t starts_ = 0;
};

TEST_F(CrashOnly, LeftoversOfAKilledDaemonAreStoppedAndNothingElse) {
  kztest::Background bystander({"/bin/sleep", "120"}, "/dev/null", "/dev/null");
  const uint64_t bystander_start = Utils::processStartTime(bystander.pid());
  ASSERT_NE(bystander_start, 0u);
  const std::string planted = "+ " + std::to_string(bystander.pid()) + " " +
                              std::to_string(bystander_start) + " 1 intruder\n";

  // A state file anyone in the group could have written, or one owned by
  // another account, is not read.
  kztest::writeFile(stateFile(), planted, 0664);
  expectIgnored(bystander, bystander_start, "ignored: writable by group or others");
  kztest::writeFile(stateFile(), planted, 0644);
  ASSERT_EQ(chown(stateFile().c_str(), 65534, 65534), 0);
  expectIgnored(bystander, bystander_start, "ignored: owned by uid 65534");
  EXPECT_FALSE(kztest::fileExists(stateFile()));  // a clean stop leaves none

  // A daemon killed outright leaves its components running.
  startNext();
  const pid_t agent = sb_.waitForInstance("agent"), postd = sb_.waitForInstance("postd");
  const uint64_t agent_start = Utils::processStartTime(agent);
  const uint64_t postd_start = Utils::processStartTime(postd);
  ASSERT_EQ(sb_.stopWith(SIGKILL), -1);
  ASSERT_TRUE(sameProcess(agent, agent_start) && sameProcess(postd, postd_start));
  // The bystander got a recorded pid, with another start time.
  const std::string journal = kztest::readFile(stateFile());
  EXPECT_THAT(journal, HasSubstr("+ " + std::to_string(agent) + " " + std::to_string(agent_start)));
  kztest::writeFile(stateFile(), journal + "+ " + std::to_string(bystander.pid()) + " " +
                                     std::to_string(bystander_start + 1) + " 1 intruder\n");

  startNext();
  EXPECT_FALSE(sameProcess(agent, agent_start));
  EXPECT_FALSE(sameProcess(postd, postd_start));
  EXPECT_TRUE(sameProcess(bystander.pid(), bystander_start));
  const std::string log = sb_.log();
  EXPECT_THAT(log, HasSubstr("stopping component \"agent\" left by a previous instance, pid=" +
                             std::to_string(agent)));
  EXPECT_THAT(log, HasSubstr("stopping component \"postd\" left by a previous instance, pid=" +
                             std::to_string(postd)));
  EXPECT_THAT(log, Not(HasSubstr("intruder")));
  // Stopped before anything new was started.
  EXPECT_LT(log.rfind("left by a previous instance"), log.rfind("component \"agent\" from"));
  // One instance of each runs: the new one.
  for (const char* name : {"agent", "postd"}) {
    const pid_t now = sb_.waitForInstance(name, 2);
    EXPECT_NE(now, name[0] == 'a' ? agent : postd);
    EXPECT_TRUE(kztest::processExists(now));
  }
  EXPECT_EQ(kztest::processesUnder(sb_.appDir()).size(), 2u);
  EXPECT_EQ(sb_.stopWith(SIGTERM), 0);
  EXPECT_TRUE(sameProcess(bystander.pid(), bystander_start));
  EXPECT_FALSE(kztest::fileExists(stateFile()));
}

}  // namespace
