#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>

#include "base/log.h"
#include "monitor/monitor.h"
#include "tests/support/daemon_sandbox.h"
#include "tests/support/lock_holder.h"

namespace {

using kztest::DaemonSandbox;

TEST(ChangedConfiguration, SignalsComponentsAnnouncedProcessesAndReloadsForOwnPid) {
  DaemonSandbox sb;
  sb.addApplication({"AGENT", {}, {{"agent", sb.recordArgs("agent"), 5, 1, "LOG", ""}}});
  sb.writeConf();
  kztest::writeFile(sb.runDir() + "stale.99999.hup", "");
  kztest::LockHolder announcer(sb.runDir(), "tool");
  {
    Monitor monitor(sb.confFile(), "", false);
    monitor.setPid(getpid());
    monitor.start();
    const pid_t agent = sb.waitForInstance("agent");
    ASSERT_GT(agent, 0);

    monitor.addChangedConf({agent});
    monitor.addChangedConf({announcer.pid(), getpid(), 4242});
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
