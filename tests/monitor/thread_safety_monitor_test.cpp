#include "monitor/thread_safety_monitor.h"

#include <gtest/gtest.h>

#include "base/log.h"
#include "tests/support/daemon_sandbox.h"

namespace {

using Mediator = ThreadSafetyMonitor::Mediator;

// One supervisor per process: this is the only test that builds one.
TEST(ThreadSafetyMonitor, RegistersOnceAndReceivesChangedConfigurationThroughTheMediator) {
  kztest::DaemonSandbox sb;
  sb.addApplication({"AGENT", {}, {{"agent", "", 5, 1, "LOG", ""}}});
  sb.settings["Monitor/User"] = "someone";
  sb.settings["Monitor/Group"] = "";
  sb.writeConf();
  ThreadSafetyMonitor monitor(sb.confFile(), "", false);
  EXPECT_EQ(Mediator::instance().permissions(), "someone:");
  Mediator::instance().addChangedConf({7, 3});
  Monitor::PidSet queued;
  monitor.getChangedConf(queued);
  EXPECT_EQ(queued, (Monitor::PidSet{3, 7}));

  // A reload that fails publishes nothing of what it read.
  sb.settings["Monitor/User"] = "nobody";
  sb.settings["Monitor/RunAppList"] = "AGENT,UNKNOWN";
  sb.writeConf();
  monitor.reload();
  EXPECT_EQ(Mediator::instance().permissions(), "someone:");
  EXPECT_EQ(monitor.getSettings().getUser(), "someone");
  sb.settings["Monitor/RunAppList"] = "AGENT";
  sb.writeConf();
  monitor.reload();
  EXPECT_EQ(Mediator::instance().permissions(), "nobody:");
  korza::LogClass::closeFile();
}

}  // namespace
