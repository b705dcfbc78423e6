#include "monitor/thread_safety_monitor.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "base/log.h"
#include "tests/support/daemon_sandbox.h"

namespace {

using Mediator = ThreadSafetyMonitor::Mediator;

TEST(Mediator, PermissionsTextAndTheMissingSupervisor) {
  Mediator mediator;
  EXPECT_EQ(mediator.permissions(), "");
  const std::pair<std::pair<const char*, const char*>, const char*> cases[] = {
      {{"", ""}, ""}, {{"u", "g"}, "u:g"}, {{"", "g"}, ":g"}, {{"u", ""}, "u:"}};
  for (const auto& c : cases) {
    mediator.setAccount(c.first.first, c.first.second, "mta");
    EXPECT_EQ(mediator.permissions(), c.second);
    EXPECT_EQ(mediator.mta(), "mta");
  }
  EXPECT_THROW(mediator.addChangedConf({1}), Mediator::Error);
}

// One supervisor per process: this is the only test that builds one.
TEST(ThreadSafetyMonitor, RegistersOnceAndPublishesItsAccountOnReload) {
  kztest::DaemonSandbox sb;
  sb.addApplication({"AGENT", {}, {{"agent", "", 5, 1, "LOG", ""}}});
  sb.writeConf();
  ThreadSafetyMonitor monitor(sb.confFile(), "", false);
  EXPECT_EQ(Mediator::instance().permissions(), "");
  try {
    ThreadSafetyMonitor second(sb.confFile(), "", false);
    FAIL();
  } catch (const Mediator::Error& e) {
    EXPECT_STREQ(e.what(), "mediator re-initialization");
  }
  sb.settings["Monitor/User"] = "someone";
  sb.settings["Monitor/Group"] = "staff";
  sb.writeConf();
  monitor.reloadData();
  EXPECT_EQ(Mediator::instance().permissions(), "someone:staff");

  Mediator::instance().addChangedConf({7, 3});
  Monitor::PidSet queued;
  monitor.getChangedConf(queued);
  EXPECT_EQ(queued, (Monitor::PidSet{3, 7}));
  korza::LogClass::closeFile();
}

}  // namespace
