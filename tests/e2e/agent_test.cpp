// End-to-end runs of the daemon with the stand-in agent as its AGENT
// application: application reports, enterprise mode and its fall-backs,
// the address forms of AgentAddress, and check-all against the temporary
// agent.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include "tests/support/daemon_sandbox.h"

namespace {

using kztest::ApplicationSpec;
using kztest::ComponentSpec;
using kztest::DaemonSandbox;

const char kNoSession[] = "agent session is not created";

// A sandbox whose AGENT application is the stand-in agent.
class AgentRun {
 public:
  std::string agentRecord() const { return sb.recordFile("agent"); }
  std::string agentConf() const { return sb.root() + "/agent.conf"; }
  std::string localAgent() const { return "local:" + sb.runDir() + ".agent"; }
  // The AGENT application, serving `listen`.
  void addAgent(const std::string& listen, const std::string& extra = "") {
    const std::string argv = "--listen=" + listen + " --record=" + agentRecord() +
                             " --config=" + agentConf() + (extra.empty() ? "" : " " + extra);
    sb.addApplication({"AGENT", {}, {{"agent", argv, 5, 1, "LOG", ""}}},
                      KZ_BIN_DIR "/kz-test-agent");
    kztest::writeFile(agentConf(), "");
  }
  // An application depending on AGENT, one test component per name; the
  // first one runs as `first_user`.
  void addApp(const std::string& name, const std::vector<std::string>& comps,
              const std::string& first_user = "") {
    ApplicationSpec app{name, {"AGENT"}, {}};
    for (const auto& n : comps) app.components.push_back(sb.component(n));
    app.components[0].user = first_user;
    sb.addApplication(app);
  }
  // The agent's "start ..." and "stop ..." lines without the peer, fields
  // joined by blanks, each line between "\n"s.
  std::string reports() const {
    std::istringstream in(kztest::readFile(agentRecord()));
    std::string out = "\n";
    for (std::string line; std::getline(in, line);) {
      if (line.compare(0, 6, "start\t") != 0 && line.compare(0, 5, "stop\t") != 0) continue;
      const size_t peer = line.find('\t');
      line.erase(peer, line.find('\t', peer + 1) - peer);
      std::replace(line.begin(), line.end(), '\t', ' ');
      out += line + "\n";
    }
    return out;
  }
  // Waits for the report `text` (with `prefix`, one that begins so).
  bool waitForReport(const std::string& text, bool prefix = false) const {
    const std::string line = "\n" + text + (prefix ? "" : "\n");
    return kztest::waitFor([&] { return reports().find(line) != std::string::npos; },
                           std::chrono::seconds(30));
  }
  // The StartApp report expected for a one-component application.
  std::string startOfOne(const std::string& app, const std::string& comp) const {
    return "start " + app + " " + std::to_string(sb.waitForInstance(comp)) + " : " +
           sb.recordArgs(comp);
  }

  DaemonSandbox sb;
};

TEST(Agent, ReportsStartsReloadChangesAndGivingUpButNotShutdown) {
  AgentRun a;
  a.addAgent(a.localAgent());
  const std::string me =
      std::string(getpwuid(getuid())->pw_name) + ":" + getgrgid(getgid())->gr_name;
  a.addApp("POSTD", {"scand", "postd"}, me);
  a.addApp("ICAP", {"icapd"});
  a.addApp("EXTRA", {"extra"});
  a.sb.settings["Monitor/RunAppList"] = "POSTD, ICAP";
  a.sb.settings["Monitor/RecoveryTimeList"] = "1";
  a.sb.startAndWait();
  // Two components: the first one's pid, their distinct permissions sorted,
  // no arguments; one component: its argument string.
  const pid_t scand = a.sb.waitForInstance("scand");
  EXPECT_TRUE(a.waitForReport("start POSTD " + std::to_string(scand) + " :," + me + " "))
      << kztest::readFile(a.agentRecord());
  EXPECT_TRUE(a.waitForReport(a.startOfOne("ICAP", "icapd")));
  const pid_t icapd = a.sb.waitForInstance("icapd");

  // Reload: ICAP leaves the run list, EXTRA joins it.
  a.sb.settings["Monitor/RunAppList"] = "POSTD, EXTRA";
  a.sb.writeConf();
  a.sb.daemon().signal(SIGHUP);
  EXPECT_TRUE(a.waitForReport("stop ICAP " + std::to_string(icapd))) << a.sb.log();
  EXPECT_TRUE(a.waitForReport(a.startOfOne("EXTRA", "extra")));

  // A component that cannot come back: its application is stopped and
  // reported so.
  const pid_t extra = a.sb.waitForInstance("extra");
  a.sb.breakProgram("extra");
  ASSERT_EQ(kill(extra, SIGKILL), 0);
  EXPECT_TRUE(a.sb.waitForLog("one component from application EXTRA is fault")) << a.sb.log();
  EXPECT_TRUE(a.waitForReport("stop EXTRA ", true)) << kztest::readFile(a.agentRecord());

  const std::string before = a.reports();
  EXPECT_EQ(a.sb.stopWith(SIGTERM), 0);
  EXPECT_EQ(a.reports(), before);  // shutdown reports nothing
  const std::string log = a.sb.log();
  EXPECT_THAT(log, Not(HasSubstr(kNoSession)));
  EXPECT_THAT(log, Not(HasSubstr("application \"POSTD\" started")));
}

// In enterprise mode the agent, reached by every form of AgentAddress,
// lists the run set, and is asked again on SIGHUP; when it cannot be reached
// or answers failure, the run list of the file stays in force.
TEST(Agent, AddressFormsAndFallBacksToTheFileList) {
  const int port = kztest::freePort();
  ASSERT_GT(port, 0);
  const std::string path = "/tmp/kz-agent-" + std::to_string(getpid());
  const std::string inet = "inet:" + std::to_string(port) + "@127.0.0.1";
  const std::string pid = "--pid-file=" + path + ".pid";
  struct Case {
    std::string listen, address, extra, logged;  // logged: a fall-back
  } cases[] = {
      {"unix:" + path, "unix:" + path, "", ""},
      {inet, inet, "", ""},
      {"local:" + path, "pid:" + path + ".pid", pid, ""},
      {inet, "pid:" + path + ".pid", pid, ""},
      {"local:" + path, "local:" + path + ".elsewhere", "",
       "cannot read monitor data from korza-agent: no answer from local:" + path + ".elsewhere"},
      {"local:" + path, "local:" + path, "--code=2",
       "cannot read monitor data from korza-agent: ConfigClient::ParseResponse - invalid "
       "response code"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address + " " + c.extra);
    AgentRun a;
    a.addAgent(c.listen, c.extra);
    a.addApp("POSTD", {"postd"});
    a.addApp("ICAP", {"icapd"});
    const bool agent = c.logged.empty();
    kztest::writeFile(a.agentConf(), agent ? "monitor/runapplist=ICAP\nnotifier/adminmail=a@b\n"
                                           : "monitor/runapplist=POSTD\n");
    a.sb.settings["Monitor/UseEnterpriseMode"] = "yes";
    a.sb.settings["Monitor/AgentAddress"] = c.address;
    a.sb.settings["Monitor/RunAppList"] = agent ? "POSTD" : "ICAP";
    a.sb.startAndWait();
    EXPECT_GT(a.sb.waitForInstance("icapd"), 0) << a.sb.log();
    EXPECT_TRUE(agent ? a.waitForReport(a.startOfOne("ICAP", "icapd")) : a.sb.waitForLog(c.logged))
        << a.sb.log();
    EXPECT_TRUE(a.sb.componentPids("postd").empty());
    if (agent) {
      EXPECT_TRUE(a.sb.waitForLog("agent sent run app list: ICAP"));
      EXPECT_TRUE(a.sb.waitForLog("unknown parameter: notifier/adminmail = a@b"));
      EXPECT_THAT(a.sb.log(), Not(HasSubstr(kNoSession)));
    }
    if (&c == &cases[0]) {
      kztest::writeFile(a.agentConf(), "monitor/runapplist=POSTD\n");
      a.sb.daemon().signal(SIGHUP);
      EXPECT_TRUE(a.waitForReport(a.startOfOne("POSTD", "postd"))) << a.sb.log();
      EXPECT_TRUE(a.sb.waitForLog("application \"ICAP\" must be stoped"));
    }
    EXPECT_EQ(a.sb.stopWith(SIGTERM), 0);
    unlink(path.c_str());
    unlink((path + ".pid").c_str());
  }
}

// An agent that takes connections but never answers, or one that is not
// there at all, holds up no start, no restart and no shutdown (not even
// after a reload replaced the session a report waits on): reports wait on
// their own thread.
TEST(Agent, AMuteOrAbsentAgentHoldsUpNeitherStartsNorRestartsNorShutdown) {
  for (const bool absent : {false, true}) {
    AgentRun a;
    a.sb.addApplication({"AGENT", {}, {a.sb.component("agent")}});
    a.addApp("FILTER", {"maild"});
    a.addApp("ICAP", {"icapd"});
    const std::string mute = a.sb.runDir() + ".mute";
    const int fd = absent ? -1 : kztest::unixSocket(mute);
    ASSERT_TRUE(absent || fd >= 0);
    a.sb.settings["Monitor/AgentAddress"] = "local:" + mute;
    a.sb.settings["Monitor/AgentResponseTime"] = "600";
    a.sb.settings["Monitor/RunAppList"] = "FILTER,ICAP";
    a.sb.startAndWait();
    const pid_t maild = a.sb.waitForInstance("maild");
    ASSERT_GT(maild, 0) << a.sb.log();
    ASSERT_GT(a.sb.waitForInstance("icapd"), 0) << a.sb.log();
    ASSERT_EQ(kill(maild, SIGKILL), 0);
    EXPECT_GT(a.sb.waitForInstance("maild", 2), 0) << a.sb.log();
    ASSERT_TRUE(a.sb.daemon().signal(SIGHUP));
    ASSERT_TRUE(a.sb.waitForLog("Monitor::reload(): arrived SIGHUP")) << a.sb.log();
    EXPECT_EQ(a.sb.stopWith(SIGTERM, std::chrono::seconds(30)), 0) << absent;
    if (fd >= 0) close(fd);
  }
}

// Check-all runs the agent once in check mode, then a temporary agent on the
// ".tmp" address (for a "pid:" address: through the ".tmp" pid file it
// writes); in enterprise mode the monitor asks that one for the run list, and
// the listed components are checked against it.
TEST(Agent, CheckAllAsksTheTemporaryAgent) {
  for (bool pid_form : {false, true}) {
    SCOPED_TRACE(pid_form ? "pid:" : "local:");
    AgentRun a;
    const std::string address = pid_form ? "pid:" + a.sb.runDir() + "agent.pid" : a.localAgent();
    a.addAgent(address);
    a.addApp("ICAP", {"icapd"});
    kztest::writeFile(a.agentConf(), "monitor/runapplist=ICAP\n");
    a.sb.settings["Monitor/UseEnterpriseMode"] = "yes";
    a.sb.settings["Monitor/AgentAddress"] = address;
    a.sb.writeConf();
    const kztest::RunResult r = a.sb.run({"-A", "-c", a.sb.confFile()});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_THAT(r.out, HasSubstr("Options OK")) << r.err;
    const std::string rec = kztest::readFile(a.agentRecord());
    EXPECT_THAT(rec, HasSubstr("config\tlocal:"));
    // The checked component was given the temporary address.
    const std::string icap = kztest::readFile(a.sb.recordFile("icapd"));
    EXPECT_THAT(icap, HasSubstr(address + ".tmp"));
    EXPECT_THAT(a.sb.log(), Not(HasSubstr(kNoSession)));
    EXPECT_FALSE(a.sb.anyComponentAlive());
  }
}

}  // namespace
