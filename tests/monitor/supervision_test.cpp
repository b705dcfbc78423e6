// The supervisor's fault and reload paths driven step by step: a monitor
// whose main-loop steps the test calls itself, over real component
// processes in a sandbox.
#include <gtest/gtest.h>
#include <signal.h>

#include <ctime>
#include <thread>

#include "base/log.h"
#include "monitor/monitor.h"
#include "tests/support/daemon_sandbox.h"

namespace {

using kztest::ApplicationSpec;
using kztest::ComponentSpec;
using kztest::DaemonSandbox;

class SteppedMonitor : public Monitor {
 public:
  using Monitor::checkFaults;
  using Monitor::Monitor;
  using Monitor::processDeferredEvents;
};

class Supervision : public ::testing::Test {
 protected:
  void startMonitor() {
    sb_.writeConf();
    monitor_.reset(new SteppedMonitor(sb_.confFile(), "", false));
    monitor_->start();
  }
  // Kills the component's newest instance and polls until its death is
  // filed; returns the second it was seen in.
  time_t killAndFile(const std::string& name) {
    const pid_t pid = sb_.waitForInstance(name);
    EXPECT_EQ(kill(pid, SIGKILL), 0);
    const std::string seen = "component \"" + name + "\" fault, pid=" + std::to_string(pid);
    EXPECT_TRUE(kztest::waitFor([&] {
      monitor_->checkFaults(100);
      korza::LogClass::flush();
      return sb_.log().find(seen) != std::string::npos;
    }));
    return time(nullptr);
  }
  void waitUntilAfter(time_t t) {
    ASSERT_TRUE(kztest::waitFor([&] { return time(nullptr) > t; }));
  }
  std::string log() {
    korza::LogClass::flush();
    return sb_.log();
  }
  void TearDown() override {
    if (monitor_) {
      monitor_->setState(false);
      monitor_->stop();
      monitor_.reset();
    }
    EXPECT_FALSE(sb_.anyComponentAlive());
    korza::LogClass::closeFile();
  }

  DaemonSandbox sb_;
  std::unique_ptr<SteppedMonitor> monitor_;
};

// Y gives up while X's component waits for its restart: the give-up stops
// X, and X's restart must not bring the component back inside it.
TEST_F(Supervision, GiveUpStopsAnApplicationWhoseComponentWaitsAndItStaysStopped) {
  sb_.settings["Monitor/RecoveryTimeList"] = "1";
  sb_.settings["Monitor/RunAppList"] = "X, Y";
  sb_.addApplication({"X", {}, {sb_.component("x")}});
  sb_.addApplication({"Y", {}, {sb_.component("y")}});
  startMonitor();
  sb_.breakProgram("y");
  const time_t y_seen = killAndFile("y");
  waitUntilAfter(y_seen);
  const time_t x_seen = killAndFile("x");
  waitUntilAfter(x_seen + 1);
  monitor_->processDeferredEvents(Monitor::NameSet());
  const std::string text = log();
  EXPECT_THAT(text, HasSubstr("one component from application X is fault"));
  EXPECT_FALSE(monitor_->getAppStore().isStarted("X"));
  EXPECT_EQ(sb_.componentPids("x").size(), 1u) << text;
  EXPECT_THAT(text, Not(HasSubstr("component \"x\" recovery")));
}

// A start that waits for its dependencies handles only their events; the
// restart of another application's component is neither tried nor counted.
TEST_F(Supervision, RegenerateLeavesOtherApplicationsEventsUntouched) {
  sb_.settings["Monitor/RecoveryTimeList"] = "1";
  sb_.settings["Monitor/RunAppList"] = "X, Y";
  sb_.addApplication({"X", {}, {sb_.component("x")}});
  sb_.addApplication({"Y", {}, {sb_.component("y")}});
  startMonitor();
  waitUntilAfter(killAndFile("x") + 1);
  monitor_->regenerate({"Y"});
  EXPECT_THAT(log(), Not(HasSubstr("cannot recovery component x")));
  monitor_->processDeferredEvents(Monitor::NameSet());
  EXPECT_THAT(log(), HasSubstr("component \"x\" recovery"));
  EXPECT_EQ(sb_.componentPids("x").size(), 2u);
}

// A reload whose new component does not answer still applies in full: the
// new application is in the store and running; a new component of an
// application that is not running is not started.
TEST_F(Supervision, ReloadWithANewComponentThatDoesNotAnswerStillAppliesInFull) {
  sb_.settings["Monitor/RecoveryTimeList"] = "";
  sb_.addApplication({"AGENT", {}, {sb_.component("agent")}});
  sb_.addApplication({"SPARE", {}, {sb_.component("spare")}});
  startMonitor();
  ComponentSpec mute = sb_.component("mute", "--tc-answer=none");
  mute.timeStart = 1;
  sb_.addApplication({"AGENT", {}, {sb_.component("agent"), mute}});
  sb_.addApplication({"SPARE", {}, {sb_.component("spare"), sb_.component("spare2")}});
  sb_.addApplication({"ICAP", {"AGENT"}, {sb_.component("icapd")}});
  sb_.settings["Monitor/RunAppList"] = "AGENT, ICAP";
  sb_.writeConf();
  monitor_->reload();
  EXPECT_THAT(log(), HasSubstr("cannot start component \"mute\" from application \"AGENT\""));
  EXPECT_TRUE(monitor_->getAppStore().isStarted("ICAP")) << log();
  EXPECT_GT(sb_.waitForInstance("icapd"), 0);
  EXPECT_TRUE(sb_.componentPids("spare2").empty());
  EXPECT_TRUE(sb_.componentPids("spare").empty());
}

// A quiet loop sleeps: no pass while nothing happens, yet its status is
// current; a death wakes it and the restart comes at its interval.
TEST_F(Supervision, TheLoopSleepsUntilSomethingIsDue) {
  sb_.settings["Monitor/RecoveryTimeList"] = "1";
  sb_.settings["Monitor/RunAppList"] = "X";
  sb_.addApplication({"X", {}, {sb_.component("x")}});
  startMonitor();
  std::thread loop([this] { monitor_->mainLoop(); });
  ASSERT_TRUE(kztest::waitFor([&] { return monitor_->TEST_idle(); }));
  const uint64_t passes = monitor_->TEST_passes();
  const time_t published = monitor_->statusSnapshot()->time;
  waitUntilAfter(published + 1);
  EXPECT_EQ(monitor_->TEST_passes(), passes);
  EXPECT_GE(monitor_->statusSnapshot()->time, time(nullptr) - 1);

  const pid_t first = sb_.waitForInstance("x");
  ASSERT_EQ(kill(first, SIGKILL), 0);
  EXPECT_GT(sb_.waitForInstance("x", 2), 0);
  EXPECT_TRUE(kztest::waitFor([&] {
    const auto status = monitor_->statusSnapshot();
    const auto& c = status->applications.at(0).components.at(0);
    return c.restarts == 1 && c.state == korza::postd::ComponentState::kRunning;
  }));
  monitor_->setState(false);
  loop.join();
}

}  // namespace
