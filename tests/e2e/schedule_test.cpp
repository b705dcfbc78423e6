// End-to-end runs of the daemon's timing: restarts keep their real
// intervals when the wall clock is stepped, and reload requests are applied
// at once rather than at the loop's next round.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "tests/support/daemon_sandbox.h"

namespace {

using Clock = std::chrono::steady_clock;
using kztest::DaemonSandbox;

const char* const kFakeTimeLibs[] = {
    "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1",
    "/usr/lib/aarch64-linux-gnu/faketime/libfaketimeMT.so.1",
    "/usr/lib/faketime/libfaketimeMT.so.1",
    "/usr/local/lib/faketime/libfaketimeMT.so.1",
};

std::string fakeTimeLib() {
  for (const char* lib : kFakeTimeLibs) {
    if (access(lib, R_OK) == 0) return lib;
  }
  return std::string();
}

double secondsSince(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

class Schedule : public ::testing::Test {
 protected:
  // Sets the faked wall clock; written whole and renamed, so the daemon never
  // reads half of it.
  void setWallClock(const std::string& when) {
    const std::string tmp = stamp_ + ".new";
    kztest::writeFile(tmp, "@" + when + "\n");
    ASSERT_EQ(rename(tmp.c_str(), stamp_.c_str()), 0);
  }
  // Kills the newest instance of `name`; once the daemon has seen the death,
  // sets the wall clock to `step` (unless empty). Returns the real seconds
  // from the kill to the next instance (-1: none within ten seconds).
  double killAndTimeRestart(const std::string& name, const std::string& step) {
    const size_t instances = sb_.componentPids(name).size();
    const pid_t pid = sb_.waitForInstance(name, instances);
    const Clock::time_point killed = Clock::now();
    EXPECT_EQ(kill(pid, SIGKILL), 0);
    EXPECT_TRUE(sb_.waitForLog("component \"" + name + "\" fault, pid=" + std::to_string(pid)));
    if (!step.empty()) setWallClock(step);
    if (sb_.waitForInstance(name, instances + 1) <= 0) return -1;
    return secondsSince(killed);
  }

  DaemonSandbox sb_;
  std::string stamp_ = sb_.root() + "/faked-time";
};

// The daemon runs under a faked wall clock (the monotonic clock is left
// alone). A death is seen, then the wall clock jumps an hour back or
// forward: the restart still comes about its 3 seconds after the death.
TEST_F(Schedule, RestartsKeepTheirRealIntervalWhenTheWallClockIsStepped) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer runtime must come first: it does not start under LD_PRELOAD";
#endif
  const std::string lib = fakeTimeLib();
  if (lib.empty()) GTEST_SKIP() << "libfaketime is not installed";
  sb_.settings["Monitor/RecoveryTimeList"] = "3, 3, 3, 3";
  sb_.addApplication({"AGENT", {}, {sb_.component("agent")}});
  setWallClock("2031-03-04 05:06:07");
  setenv("LD_PRELOAD", lib.c_str(), 1);
  setenv("FAKETIME_TIMESTAMP_FILE", stamp_.c_str(), 1);
  setenv("FAKETIME_NO_CACHE", "1", 1);
  setenv("FAKETIME_DONT_FAKE_MONOTONIC", "1", 1);
  sb_.startAndWait();
  for (const char* name : {"LD_PRELOAD", "FAKETIME_TIMESTAMP_FILE", "FAKETIME_NO_CACHE",
                           "FAKETIME_DONT_FAKE_MONOTONIC"}) {
    unsetenv(name);
  }
  ASSERT_GT(sb_.waitForInstance("agent"), 0) << sb_.log();

  // Unstepped: the notice shows the faked date.
  double took = killAndTimeRestart("agent", "");
  EXPECT_GE(took, 2.0);
  EXPECT_LE(took, 20.0);
  ASSERT_TRUE(sb_.waitForLog("Subject: ERROR: Component \"agent\" failed")) << sb_.log();
  EXPECT_THAT(sb_.log(), HasSubstr("Date: Tue, 04 Mar 2031 "));

  took = killAndTimeRestart("agent", "2031-03-04 04:06:07");  // an hour back
  EXPECT_GE(took, 2.0) << sb_.log();
  EXPECT_LE(took, 20.0) << sb_.log();

  took = killAndTimeRestart("agent", "2031-03-04 05:06:07");  // an hour forward
  EXPECT_GE(took, 2.0) << sb_.log();
  EXPECT_LE(took, 20.0) << sb_.log();
  EXPECT_EQ(sb_.stopWith(SIGTERM), 0) << sb_.log();
  EXPECT_FALSE(sb_.anyComponentAlive());
}

// A SIGHUP and a control reload of the daemon's own pid are applied as soon
// as they arrive, not at the loop's next round.
TEST_F(Schedule, SighupAndControlReloadAreAppliedAtOnce) {
  sb_.addApplication({"AGENT", {}, {sb_.component("agent")}});
  sb_.startAndWait();
  ASSERT_GT(sb_.waitForInstance("agent"), 0) << sb_.log();
  const std::string applied = "Monitor::reload()\n";
  const auto latency = [&](const std::function<void()>& request) {
    const size_t before = kztest::countOf(sb_.log(), applied);
    const Clock::time_point asked = Clock::now();
    request();
    const Clock::time_point sent = Clock::now();
    EXPECT_TRUE(sb_.waitForLog(applied, before + 1, std::chrono::seconds(10))) << sb_.log();
    return std::chrono::duration<double>(Clock::now() - std::max(asked, sent)).count();
  };
  const std::string pid = std::to_string(sb_.daemon().pid());
  for (bool by_signal : {true, false}) {
    std::vector<double> taken;
    for (int i = 0; i < 5; ++i) {
      taken.push_back(latency([&] {
        if (by_signal) {
          ASSERT_TRUE(sb_.daemon().signal(SIGHUP));
        } else {
          const kztest::RunResult r = kztest::runProgram(
              {KZ_BIN_DIR "/korza-ctl", "-c", sb_.confFile(), "-t", "10", "reload", pid});
          ASSERT_EQ(r.status, 0) << r.err;
        }
      }));
    }
    std::sort(taken.begin(), taken.end());
    // A loop that waited for its next round would take half a second on
    // average; a median well below that means the request woke it.
    EXPECT_LT(taken[2], 0.3) << (by_signal ? "SIGHUP" : "control reload");
  }
  EXPECT_EQ(sb_.stopWith(SIGTERM), 0) << sb_.log();
}

}  // namespace
