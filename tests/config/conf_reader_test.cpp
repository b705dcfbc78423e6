// Reading the monitor's settings from monitor.conf and from the agent.
#include "config/conf_reader.h"

#include <gtest/gtest.h>

#include <map>
#include <stdexcept>

#include "base/flags.h"
#include "config/conf_store.h"
#include "tests/support/log_capture.h"
#include "tests/support/sandbox.h"

namespace {

using Lines = std::vector<std::string>;

// A complete configuration with every key set, where `changes` replaces
// whole lines (by an empty one to drop the key).
std::string configText(const std::string& log_path,
                       const std::map<std::string, std::string>& changes = {}) {
  std::string text =
      "[Logging]\nLevel = debug\nIPCLevel = error\nSyslogFacility = Local3\nFileName = " +
      log_path +
      "\n[Monitor]\nRunForeground = yes\nUser = korza\nGroup = wheel\nChDir = /tmp\n"
      "MetaConfigDir = /etc/meta\nInjectCmd = /bin/mail\nAgentResponseTime = 5\n"
      "AgentAddress = local:/a, local:/b\nPidFileDir = /run/k\n"
      "Address = local:/m, inet:99@localhost, local:/m\nTimeout = 60\n"
      "RunAppList = POSTD, ICAP\nUseEnterpriseMode = no\nRecoveryTimeList = 10, 20\n";
  for (const auto& [from, to] : changes) text.replace(text.find(from + "\n"), from.size(), to);
  return text;
}

class ConfReaderTest : public ::testing::Test {
 protected:
  ConfReader load(const std::string& text) {
    kztest::writeFile(dir_.file("monitor.conf"), text);
    ConfReader reader(dir_.file("monitor.conf"));
    reader.reload();
    return reader;
  }

  kztest::TempDir dir_;
  LogCapture log_;
};

// The daemon runs on every key of a complete file; here the normalised
// ones, and a reload that fails keeps the settings read before.
TEST_F(ConfReaderTest, ListsAndDirectoriesAreNormalisedAndAFailedReloadKeepsTheSettings) {
  ConfReader r = load(configText(log_.path()));
  EXPECT_EQ(log_.messages("WARN"), Lines());
  EXPECT_EQ(r.getMetaConfigDir(), "/etc/meta/");
  EXPECT_EQ(r.getAddress(), (std::set<std::string>{"inet:99@localhost", "local:/m"}));
  EXPECT_EQ(Lines(r.getRunAppList().begin(), r.getRunAppList().end()), (Lines{"ICAP", "POSTD"}));
  kztest::writeFile(dir_.file("monitor.conf"),
                    configText(log_.path(), {{"RecoveryTimeList = 10, 20", ""}}));
  EXPECT_THROW(r.reload(), conf_store_exception_t);
  EXPECT_EQ(r.getRecoveryTimeList(), (std::vector<int32_t>{10, 20}));
  EXPECT_EQ(r.getUser(), "korza");
}

// The start-up check (e2e) covers Level, RunAppList, User and a Timeout of 0.
TEST_F(ConfReaderTest, BadValuesAreReportedAndReplaced) {
  ConfReader r =
      load(configText(log_.path(), {{"IPCLevel = error", "IPCLevel = loud"},
                                    {"Timeout = 60", "Timeout = 4000\nComponentStderr = all"},
                                    {"AgentAddress = local:/a, local:/b", "AgentAddress = ,"},
                                    {"RunAppList = POSTD, ICAP", "RunAppList ="}}));
  EXPECT_TRUE(conf_warning_issued);
  EXPECT_EQ(r.getIpcLogLevel(), "error");
  EXPECT_EQ(r.getTimeout(), 30);
  EXPECT_FALSE(r.getComponentStderrLog());
  EXPECT_EQ(r.getAgentAddress(), Lines{"local:/var/korza/ipc/.agent"});
  EXPECT_EQ(Lines(r.getRunAppList().begin(), r.getRunAppList().end()), Lines{"AGENT"});
  EXPECT_EQ(log_.messages("WARN"),
            (Lines{
                "value of parameter \"/Logging/IPCLevel\" is wrong. Using default value \"Error\"",
                "value of parameter \"/Monitor/AgentAddress\" is empty. Using default value "
                "\"local:/var/korza/ipc/.agent\"",
                "wrong parameter \"/Monitor/Timeout\": parameter must be inside the interval [ 1, "
                "3600 ]. Used default value 30",
                "value of parameter \"/Monitor/RunAppList\" is empty. Using default value "
                "\"AGENT\"",
                "value of parameter \"/Monitor/ComponentStderr\" is wrong. Using default value "
                "\"no\"",
            }));
}

// The agent as a table of answers.
struct FakeAgent : AgentConfigSource {
  void requestConfig(const std::string& program, int timeout_seconds,
                     std::map<std::string, std::string>& values) override {
    ++requests;
    EXPECT_EQ(program, "korza-monitor");
    EXPECT_EQ(timeout_seconds, 5);
    values = answer;
  }
  std::map<std::string, std::string> answer;
  int requests = 0;
};

TEST_F(ConfReaderTest, AgentGivesRunListAndNotifierAddresses) {
  kztest::writeFile(
      dir_.file("monitor.conf"),
      configText(log_.path(), {{"UseEnterpriseMode = no", "UseEnterpriseMode = yes"}}));
  MonitorConfReader r(dir_.file("monitor.conf"));
  r.reload();
  FakeAgent agent;
  agent.answer = {{"Monitor/RunAppList", "A,B"},
                  {"x", "1"},
                  {"notifier/ADMINMAIL", "admin@example.org"},
                  {"monitor/mta", "sendmail"}};
  r.readConfigFromAgent(&agent, true);
  EXPECT_EQ(agent.requests, 2);
  EXPECT_EQ(Lines(r.getRunAppList().begin(), r.getRunAppList().end()), (Lines{"A", "B"}));
  EXPECT_EQ(r.getAdminMail(), "admin@example.org");
  EXPECT_EQ(r.getFilterMail(), MonitorConfReader::defaultMail());
  EXPECT_EQ(r.getMta(), "SENDMAIL");
  EXPECT_EQ(log_.messages("WARN"),
            (Lines{"parameter \"/Notifier/FilterMail\" from postd configuration not defined, use "
                   "default value \"" +
                       MonitorConfReader::defaultMail() + "\"",
                   "unknown parameter: monitor/mta = sendmail",
                   "unknown parameter: notifier/ADMINMAIL = admin@example.org",
                   "unknown parameter: x = 1"}));

  // Without an agent session the list of the file stays (e2e covers the
  // enterprise mode itself).
  r.reload();
  r.readConfigFromAgent(nullptr, true);
  EXPECT_EQ(Lines(r.getRunAppList().begin(), r.getRunAppList().end()), (Lines{"ICAP", "POSTD"}));
  EXPECT_EQ(log_.messages("ERROR"), Lines{"agent session is not created"});
}

}  // namespace
