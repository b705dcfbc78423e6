// End-to-end runs of the daemon with many components: descriptors far above
// 1023, and a descriptor limit that runs out during a start.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "tests/e2e/proc_scan.h"
#include "tests/support/daemon_sandbox.h"

namespace {

using kztest::ApplicationSpec;
using kztest::DaemonSandbox;

class Scale : public ::testing::Test {
 protected:
  void SetUp() override {
#ifndef __linux__
    GTEST_SKIP() << "the process checks read /proc";
#endif
    sweeper_.prefix = sb_.appDir();
    sb_.settings["Logging/Level"] = "info";
    sb_.settings["Monitor/RecoveryTimeList"] = "1";
  }
  // An application of `n` idle components named PREFIX0000...
  void addBigApp(const std::string& name, const std::string& prefix, int n) {
    ApplicationSpec app{name, {}, {}};
    for (int i = 0; i < n; ++i) {
      char comp[32];
      snprintf(comp, sizeof comp, "%s%04d", prefix.c_str(), i);
      app.components.push_back({comp, "600", 20, 2, "LOG", ""});
    }
    sb_.addApplication(app, KZ_IDLE_COMPONENT);
  }
  // Starts the daemon with these descriptor limits and waits for it.
  void startWithLimit(rlim_t soft, rlim_t hard) {
    {
      kztest::ScopedNoFileLimit limit(soft, hard);
      ASSERT_TRUE(limit.ok());
      sb_.writeConf();
      sb_.start();
    }
    ASSERT_TRUE(
        sb_.waitForLog("Korza (R) Components Monitor started", 1, std::chrono::seconds(120)))
        << sb_.log().substr(0, 4000);
  }
  std::vector<pid_t> components() const { return kztest::processesUnder(sb_.appDir()); }
  // Stops the daemon; nothing it started is left.
  void stopDaemon() {
    EXPECT_EQ(sb_.stopWith(SIGTERM, std::chrono::seconds(120)), 0) << sb_.log().substr(0, 4000);
    EXPECT_TRUE(kztest::waitFor([&] { return components().empty(); }, std::chrono::seconds(10)));
  }

  kztest::ProcessSweeper sweeper_;  // destroyed last: kills what a failure left
  DaemonSandbox sb_;
};

TEST_F(Scale, ComponentsWithDescriptorsAbove1023AreRestartedAndStopped) {
  const int kCount = 1100;
  struct rlimit limit;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_max < kCount + 200) GTEST_SKIP() << "hard descriptor limit too low";
  sb_.settings["Logging/Level"] = "debug";
  addBigApp("BIG", "c", kCount);
  sb_.settings["Monitor/RunAppList"] = "BIG";
  // Started as by a shell with the usual soft limit: the daemon raises its
  // own, its components keep this one.
  startWithLimit(1024, limit.rlim_max);
  EXPECT_THAT(sb_.log(), HasSubstr("descriptor limit: soft 1024, raised to the hard limit " +
                                   std::to_string(limit.rlim_max)));
  const std::vector<pid_t> first = components();
  ASSERT_EQ(first.size(), static_cast<size_t>(kCount));
  EXPECT_THAT(kztest::readFile("/proc/" + std::to_string(first[0]) + "/limits"),
              testing::ContainsRegex("Max open files +1024 +" + std::to_string(limit.rlim_max)));

  // The daemon's end of each component's answer pipe, by pipe.
  std::map<std::string, int> daemon_end;
  for (const auto& fd : kztest::descriptorLinks(sb_.daemon().pid()))
    daemon_end[fd.second] = fd.first;
  std::vector<pid_t> victims;
  for (pid_t pid : first) {
    const auto links = kztest::descriptorLinks(pid);
    const auto out = links.find(1);
    if (out != links.end() && daemon_end.count(out->second) && daemon_end[out->second] > 1023)
      victims.push_back(pid);
    if (victims.size() == 3) break;
  }
  ASSERT_EQ(victims.size(), 3u);
  std::map<pid_t, std::string> names;
  for (pid_t pid : victims) names[pid] = kztest::programName(pid);
  for (pid_t pid : victims) ASSERT_EQ(kill(pid, SIGKILL), 0);
  for (pid_t pid : victims) {
    const std::string& name = names[pid];
    EXPECT_TRUE(sb_.waitForLog("component \"" + name + "\" fault, pid=" + std::to_string(pid)))
        << name;
    EXPECT_TRUE(sb_.waitForLog(
        "component \"" + name + "\" from application \"BIG\" has been " + "started", 2))
        << name;
  }
  // Each victim has a new instance; the rest are untouched.
  const std::vector<pid_t> now = components();
  ASSERT_EQ(now.size(), static_cast<size_t>(kCount));
  std::set<std::string> restarted;
  for (pid_t pid : now) {
    if (std::find(first.begin(), first.end(), pid) == first.end())
      restarted.insert(kztest::programName(pid));
  }
  EXPECT_EQ(restarted.size(), 3u);
  for (const auto& kv : names) EXPECT_EQ(restarted.count(kv.second), 1u) << kv.second;
  stopDaemon();
}

TEST_F(Scale, RunningOutOfDescriptorsFailsStartsCleanly) {
  // "BIG" starts first (the run list is ordered) and runs out of
  // descriptors: its start fails, is retried, and what it started is
  // stopped; "SMALL" starts after it and runs.
  addBigApp("BIG", "b", 300);
  addBigApp("SMALL", "s", 10);
  sb_.settings["Monitor/RunAppList"] = "BIG, SMALL";
  startWithLimit(256, 256);
  const std::string log = sb_.log();
  // The pipes or the child's /dev/null, whichever runs out first.
  EXPECT_THAT(log, HasSubstr("cannot start component \"b0"));
  EXPECT_TRUE(log.find("create pipe error") != std::string::npos ||
              log.find("Too many open files") != std::string::npos);
  EXPECT_THAT(log, HasSubstr("application \"BIG\" cannot start"));
  EXPECT_TRUE(sb_.daemon().running());
  // Every component alive is one of the running application, a child of
  // the daemon.
  const std::vector<pid_t> alive = components();
  EXPECT_EQ(alive.size(), 10u);
  for (pid_t pid : alive) {
    EXPECT_EQ(kztest::programName(pid)[0], 's') << pid;
    const std::string stat = kztest::readFile("/proc/" + std::to_string(pid) + "/stat");
    EXPECT_EQ(std::atoi(stat.c_str() + stat.rfind(')') + 4), sb_.daemon().pid());
  }
  stopDaemon();
}

}  // namespace
