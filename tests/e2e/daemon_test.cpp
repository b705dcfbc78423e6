// End-to-end runs of the daemon supervising real component processes: the
// binary in a sandbox directory, watched through its log, its pid file and
// the processes it starts.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "tests/support/daemon_sandbox.h"

namespace {

using kztest::ApplicationSpec;
using kztest::ComponentSpec;
using kztest::DaemonSandbox;

const char kStarted[] = "Korza (R) Components Monitor started";
const char kShutdown[] = "Korza (R) Components Monitor shutdown";

// Position of `text` in the log, or npos.
size_t at(const std::string& log, const std::string& text) { return log.find(text); }

class Daemon : public ::testing::Test {
 protected:
  ComponentSpec component(const std::string& name, const std::string& extra = "") {
    return sb_.component(name, extra);
  }
  // AGENT <- POSTD, AGENT <- ICAP.
  void addSuite(const std::string& postd_extra = "") {
    sb_.addApplication({"AGENT", {}, {component("agent")}});
    sb_.addApplication({"POSTD", {"AGENT"}, {component("scand"), component("postd", postd_extra)}});
    sb_.addApplication({"ICAP", {"AGENT"}, {component("icapd")}});
  }
  void startDaemon(const std::vector<std::string>& args = {}) {
    sb_.writeConf();
    sb_.start(args);
    ASSERT_TRUE(sb_.waitForLog(kStarted)) << sb_.log();
  }
  // SIGTERM, clean exit, nothing left behind.
  void stopDaemon() {
    EXPECT_EQ(sb_.stopWith(SIGTERM), 0) << sb_.log();
    EXPECT_FALSE(sb_.anyComponentAlive());
    EXPECT_FALSE(kztest::fileExists(sb_.pidFile()));
    EXPECT_NE(at(sb_.log(), kShutdown), std::string::npos);
  }

  void breakProgram(const std::string& name) { sb_.breakProgram(name); }

  DaemonSandbox sb_;
};

TEST_F(Daemon, StartsInDependencyOrderAndStopsDependentsFirst) {
  addSuite();
  sb_.settings["Monitor/RunAppList"] = "POSTD, ICAP";
  startDaemon();
  std::string log = sb_.log();
  const size_t agent = at(log, "application \"AGENT\" has been started");
  const size_t postd = at(log, "application \"POSTD\" has been started");
  const size_t icap = at(log, "application \"ICAP\" has been started");
  ASSERT_NE(agent, std::string::npos) << log;
  ASSERT_NE(postd, std::string::npos) << log;
  ASSERT_NE(icap, std::string::npos) << log;
  EXPECT_LT(agent, postd);
  EXPECT_LT(agent, icap);
  // Components of one application start one after the other, in file order.
  EXPECT_LT(at(log, "component \"scand\" from application \"POSTD\" has been started"),
            at(log, "component \"postd\" from application \"POSTD\" has been started"));
  // Without an agent session the application starts are logged.
  EXPECT_NE(at(log, "application \"POSTD\" started"), std::string::npos);
  EXPECT_EQ(at(log, "application \"AGENT\" started"), std::string::npos);

  // The pid file holds the daemon's pid and is locked.
  EXPECT_EQ(kztest::readFile(sb_.pidFile()), std::to_string(sb_.daemon().pid()) + "\n");

  stopDaemon();
  log = sb_.log();
  const size_t agent_stop = at(log, "application \"AGENT\" has been stopped");
  ASSERT_NE(agent_stop, std::string::npos) << log;
  EXPECT_LT(at(log, "application \"POSTD\" has been stopped"), agent_stop);
  EXPECT_LT(at(log, "application \"ICAP\" has been stopped"), agent_stop);
  // Components ended by their own exit on SIGTERM are not reported as faults.
  EXPECT_EQ(at(log, "terminated by signal"), std::string::npos) << log;
}

TEST_F(Daemon, SigintStopsLikeSigterm) {
  sb_.addApplication({"AGENT", {}, {component("agent")}});
  startDaemon();
  EXPECT_EQ(sb_.stopWith(SIGINT), 0);
  EXPECT_NE(at(sb_.log(), "Monitor::terminate(): arrived SIGINT"), std::string::npos);
  EXPECT_FALSE(sb_.anyComponentAlive());
  EXPECT_FALSE(kztest::fileExists(sb_.pidFile()));
}

TEST_F(Daemon, KilledComponentIsReportedRestartedAndRecovered) {
  addSuite();
  sb_.settings["Monitor/RunAppList"] = "POSTD";
  sb_.settings["Monitor/RecoveryTimeList"] = "1, 2";
  startDaemon();
  const pid_t first = sb_.waitForInstance("postd");
  ASSERT_GT(first, 0);
  ASSERT_EQ(kill(first, SIGKILL), 0);

  ASSERT_TRUE(sb_.waitForLog("component \"postd\" fault, pid=" + std::to_string(first)))
      << sb_.log();
  ASSERT_TRUE(sb_.waitForLog("Subject: INFO: Component \"postd\" recovery")) << sb_.log();
  const pid_t second = sb_.waitForInstance("postd", 2);
  EXPECT_NE(second, first);
  EXPECT_TRUE(kztest::processExists(second));
  EXPECT_FALSE(kztest::processExists(first));  // reaped, not a zombie

  const std::string log = sb_.log();
  EXPECT_NE(at(log, "component \"postd\" terminated by signal 9"), std::string::npos);
  EXPECT_NE(at(log, "LogInform: Date: "), std::string::npos);
  EXPECT_NE(at(log, "Subject: ERROR: Component \"postd\" failed"), std::string::npos);
  EXPECT_NE(at(log, "Component \"postd\" (pid=" + std::to_string(first) + ", file=" + sb_.appDir() +
                        "postd) used in \"POSTD application\" failed at "),
            std::string::npos)
      << log;
  EXPECT_NE(at(log, "Monitor has tried to restart \"postd\" at "), std::string::npos);
  EXPECT_NE(at(log, "(new pid=" + std::to_string(second) + ", file="), std::string::npos);
  EXPECT_LT(at(log, "failed at"), at(log, "be recovery at"));
  stopDaemon();
}

TEST_F(Daemon, NoticesReachCommandAndMailInformers) {
  const std::string cmd_out = sb_.root() + "/cmd.txt";
  const std::string mail_out = sb_.root() + "/mail.txt";
  sb_.settings["Monitor/InjectCmd"] = "cat >> " + mail_out;
  sb_.settings["Monitor/RecoveryTimeList"] = "1";
  ComponentSpec by_cmd = component("bycmd");
  by_cmd.logType = "\"cat >> " + cmd_out + "\"";
  ComponentSpec by_mail = component("bymail");
  by_mail.logType = "MAIL";
  sb_.addApplication({"AGENT", {}, {by_cmd, by_mail}});
  startDaemon();
  const pid_t cmd_pid = sb_.waitForInstance("bycmd");
  const pid_t mail_pid = sb_.waitForInstance("bymail");
  ASSERT_EQ(kill(cmd_pid, SIGKILL), 0);
  ASSERT_EQ(kill(mail_pid, SIGKILL), 0);
  EXPECT_TRUE(kztest::waitFor(
      [&] {
        const std::string text = kztest::readFile(cmd_out);
        return text.find("Subject: ERROR: Component \"bycmd\" failed") != std::string::npos &&
               text.find("Subject: INFO: Component \"bycmd\" recovery") != std::string::npos;
      },
      std::chrono::seconds(20)))
      << kztest::readFile(cmd_out) << sb_.log();
  EXPECT_TRUE(kztest::waitFor(
      [&] {
        const std::string text = kztest::readFile(mail_out);
        return text.find("To:root@") != std::string::npos &&
               text.find("Subject: ERROR: Component \"bymail\" failed") != std::string::npos &&
               text.find("Host \"") != std::string::npos;
      },
      std::chrono::seconds(20)))
      << kztest::readFile(mail_out) << sb_.log();
  stopDaemon();
}

TEST_F(Daemon, ComponentThatNeverComesBackStopsItsApplicationButKeepsTheRunSet) {
  addSuite();
  sb_.settings["Monitor/RunAppList"] = "AGENT, POSTD";
  sb_.settings["Monitor/RecoveryTimeList"] = "1, 1";
  startDaemon();
  const pid_t postd = sb_.waitForInstance("postd");
  // From now on the program cannot start: every restart attempt fails.
  breakProgram("postd");
  ASSERT_EQ(kill(postd, SIGKILL), 0);
  ASSERT_TRUE(sb_.waitForLog("cannot recovery component postd", 1, std::chrono::seconds(30)))
      << sb_.log();
  ASSERT_TRUE(sb_.waitForLog("application \"POSTD\" has been stopped")) << sb_.log();
  std::string log = sb_.log();
  EXPECT_NE(at(log, "Subject: ERROR: Component \"postd\" cannot recovery"), std::string::npos);
  EXPECT_NE(at(log,
               "one component from application POSTD is fault. The application will be "
               "stoped"),
            std::string::npos);
  EXPECT_NE(at(log, "Abortive attempts to recovery it were made at "), std::string::npos);
  // AGENT is in the run set: it keeps running, and so does the daemon.
  EXPECT_EQ(at(log, "application \"AGENT\" has been stopped"), std::string::npos);
  EXPECT_FALSE(kztest::processExists(sb_.componentPids("scand").back()));
  EXPECT_TRUE(kztest::processExists(sb_.componentPids("agent").back()));
  EXPECT_TRUE(sb_.daemon().running());
  stopDaemon();
}

TEST_F(Daemon, LastApplicationGoneEndsTheDaemon) {
  sb_.settings["Monitor/RecoveryTimeList"] = "1";
  sb_.addApplication({"AGENT", {}, {component("agent")}});
  startDaemon();
  const pid_t agent = sb_.waitForInstance("agent");
  breakProgram("agent");
  ASSERT_EQ(kill(agent, SIGKILL), 0);
  int status = -1;
  ASSERT_TRUE(sb_.daemon().wait(std::chrono::seconds(30), &status)) << sb_.log();
  EXPECT_EQ(status, 0);
  const std::string log = sb_.log();
  EXPECT_NE(at(log, "all applications have stoped, terminate korza-monitor application"),
            std::string::npos)
      << log;
  EXPECT_NE(at(log, kShutdown), std::string::npos);
  EXPECT_FALSE(kztest::fileExists(sb_.pidFile()));
  EXPECT_FALSE(sb_.anyComponentAlive());
}

TEST_F(Daemon, EmptyRecoveryListGivesUpAtOnce) {
  sb_.settings["Monitor/RecoveryTimeList"] = "";
  sb_.addApplication({"AGENT", {}, {component("agent")}});
  sb_.addApplication({"ICAP", {"AGENT"}, {component("icapd")}});
  sb_.settings["Monitor/RunAppList"] = "AGENT, ICAP";
  startDaemon();
  const pid_t icapd = sb_.waitForInstance("icapd");
  ASSERT_EQ(kill(icapd, SIGKILL), 0);
  ASSERT_TRUE(sb_.waitForLog("application \"ICAP\" has been stopped")) << sb_.log();
  const std::string log = sb_.log();
  const size_t failed = at(log, "Subject: ERROR: Component \"icapd\" failed");
  const size_t cannot = at(log, "Subject: ERROR: Component \"icapd\" cannot recovery");
  ASSERT_NE(failed, std::string::npos) << log;
  ASSERT_NE(cannot, std::string::npos) << log;
  EXPECT_LT(failed, cannot);
  EXPECT_EQ(at(log, "Monitor has tried to restart"), std::string::npos);
  EXPECT_EQ(sb_.componentPids("icapd").size(), 1u);  // never restarted
  stopDaemon();
}

TEST_F(Daemon, DataOnTheAnswerPipeIsNotDeath) {
  // The answer is a blank followed by more bytes: the blank starts the
  // component, the rest waits in the pipe for the main loop.
  sb_.addApplication({"AGENT", {}, {component("agent", "--tc-answer=\\\\x20chatter")}});
  startDaemon();
  ASSERT_TRUE(sb_.waitForLog("error data in management descriptor")) << sb_.log();
  // The start answer is read two bytes at a time, so the first byte of the
  // chatter goes with the blank.
  EXPECT_NE(at(sb_.log(), ": hatter"), std::string::npos) << sb_.log();
  EXPECT_EQ(at(sb_.log(), "fault, pid="), std::string::npos);
  EXPECT_EQ(sb_.componentPids("agent").size(), 1u);
  stopDaemon();
}

TEST_F(Daemon, SighupReloadAddsRemovesAndReconfiguresApplications) {
  addSuite();
  sb_.settings["Monitor/RunAppList"] = "POSTD, ICAP";
  startDaemon();
  const pid_t agent = sb_.waitForInstance("agent");
  const pid_t icapd = sb_.waitForInstance("icapd");
  // ICAP leaves the catalogue, NEWAPP arrives, POSTD's postd component gets
  // a new start time-out.
  unlink((sb_.metaDir() + "ICAP.mmc").c_str());
  sb_.addApplication({"NEWAPP", {"AGENT"}, {component("newc")}});
  ComponentSpec postd = component("postd");
  postd.timeStart = 7;
  sb_.addApplication({"POSTD", {"AGENT"}, {component("scand"), postd}});
  sb_.settings["Monitor/RunAppList"] = "POSTD, NEWAPP";
  sb_.writeConf();
  ASSERT_TRUE(sb_.daemon().signal(SIGHUP));

  ASSERT_TRUE(sb_.waitForLog("application \"NEWAPP\" has been started")) << sb_.log();
  ASSERT_TRUE(sb_.waitForLog("application \"ICAP\" has been stopped")) << sb_.log();
  const std::string log = sb_.log();
  EXPECT_NE(at(log, "Monitor::reload(): arrived SIGHUP"), std::string::npos);
  EXPECT_NE(at(log, "oldApps: ICAP"), std::string::npos) << log;
  EXPECT_NE(at(log, "newApps: NEWAPP"), std::string::npos);
  EXPECT_NE(at(log, "immutableApps: POSTD"), std::string::npos);
  EXPECT_FALSE(kztest::processExists(icapd));
  // Every running component is told to re-read its configuration.
  EXPECT_TRUE(kztest::waitFor([&] {
    return kztest::readFile(sb_.recordFile("agent")).find("signal 1\n") != std::string::npos;
  }));
  EXPECT_EQ(sb_.componentPids("agent").back(), agent);  // not restarted
  stopDaemon();
}

TEST_F(Daemon, BrokenReloadChangesNothing) {
  sb_.addApplication({"AGENT", {}, {component("agent")}});
  startDaemon();
  kztest::writeFile(sb_.metaDir() + "broken.mmc", "APPLICATION\n");
  ASSERT_TRUE(sb_.daemon().signal(SIGHUP));
  ASSERT_TRUE(sb_.waitForLog("reload error: error in *.mmc file")) << sb_.log();
  EXPECT_TRUE(kztest::processExists(sb_.componentPids("agent").back()));
  EXPECT_EQ(sb_.componentPids("agent").size(), 1u);
  stopDaemon();
}

// SIGTERM while the start-up waits for its next retry, or for the answer of
// a component with a long start time, ends the start-up at once, stops what
// was started and ends the daemon cleanly.
TEST_F(Daemon, SigtermDuringStartUpEndsTheStartPromptly) {
  for (const bool mute : {false, true}) {
    DaemonSandbox sb;
    sb.settings["Monitor/RecoveryTimeList"] = "60, 60";
    sb.settings["Monitor/RunAppList"] = "AGENT, ICAP";
    sb.addApplication({"AGENT", {}, {sb.component("agent")}});
    ComponentSpec icapd = sb.component("icapd", mute ? "--tc-answer=none" : "");
    icapd.timeStart = 60;
    sb.addApplication({"ICAP", {"AGENT"}, {icapd}});
    if (!mute) sb.breakProgram("icapd");
    sb.writeConf();
    sb.start();
    ASSERT_TRUE(sb.waitForLog(mute ? "start component \"icapd\"" : "sleep 60")) << sb.log();
    const auto sent = std::chrono::steady_clock::now();
    EXPECT_EQ(sb.stopWith(SIGTERM, std::chrono::seconds(20)), 0) << sb.log();
    EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(10));
    EXPECT_FALSE(sb.anyComponentAlive());
    EXPECT_FALSE(kztest::fileExists(sb.pidFile()));
    EXPECT_NE(at(sb.log(), "Monitor::terminate(): arrived SIGTERM"), std::string::npos);
  }
}

// A misspelt account of the daemon's own ends the start-up: never root.
TEST_F(Daemon, UnknownAccountNeverRunsAsRoot) {
  sb_.addApplication({"AGENT", {}, {component("agent")}});
  sb_.settings["Monitor/User"] = "no-such-user-kz";
  sb_.writeConf();
  const kztest::RunResult own = sb_.run({"-c", sb_.confFile()});
  EXPECT_EQ(own.status, 8);
  EXPECT_NE(own.err.find("program create error: getpwnam( \"no-such-user-kz\" ) error"),
            std::string::npos)
      << own.err;
  EXPECT_TRUE(sb_.componentPids("agent").empty());
}

TEST_F(Daemon, DetachesAndWritesItsPidFile) {
  sb_.settings["Monitor/RunForeground"] = "no";
  sb_.settings["Monitor/ChDir"] = sb_.root();
  sb_.addApplication({"AGENT", {}, {component("agent")}});
  sb_.writeConf();
  sb_.start();
  int status = -1;
  // The process we started returns at once; the daemon goes on detached.
  ASSERT_TRUE(sb_.daemon().wait(std::chrono::seconds(30), &status));
  EXPECT_EQ(status, 0);
  ASSERT_TRUE(sb_.waitForLog(kStarted)) << sb_.log();
  const pid_t daemon = std::atoi(kztest::readFile(sb_.pidFile()).c_str());
  ASSERT_GT(daemon, 1);
  EXPECT_NE(daemon, sb_.daemon().pid());
  EXPECT_TRUE(kztest::processExists(daemon));
  EXPECT_EQ(getsid(daemon), daemon);  // a session of its own
  ASSERT_EQ(kill(daemon, SIGTERM), 0);
  EXPECT_TRUE(
      kztest::waitFor([&] { return !kztest::processExists(daemon); }, std::chrono::seconds(30)));
  EXPECT_FALSE(kztest::fileExists(sb_.pidFile()));
  EXPECT_FALSE(sb_.anyComponentAlive());
}

TEST_F(Daemon, StopEndsTheWorkersOfAComponent) {
  // The component forks a worker that would outlive it; the stop goes to
  // the component's process group, so the worker ends with it.
  const std::string script = sb_.root() + "/forking-component";
  kztest::writeFile(script,
                    "#!/bin/sh\n"
                    "sleep 600 </dev/null >/dev/null 2>&1 &\n"
                    "echo $! > \"$1\"\n"
                    "printf ' '\n"
                    "wait\n",
                    0755);
  const std::string worker_file = sb_.root() + "/worker.pid";
  ComponentSpec agent;
  agent.name = "agent";
  agent.argv = worker_file;
  sb_.addApplication({"AGENT", {}, {agent}}, script);
  startDaemon();
  pid_t worker = 0;
  ASSERT_TRUE(kztest::waitFor(
      [&] { return (worker = std::atoi(kztest::readFile(worker_file).c_str())) > 1; },
      std::chrono::seconds(30)));
  ASSERT_TRUE(kztest::processExists(worker));
  EXPECT_EQ(sb_.stopWith(SIGTERM), 0) << sb_.log();
  // Gone, or at most a zombie waiting for its new parent to reap it.
  EXPECT_TRUE(kztest::waitFor(
      [&] {
        const std::string stat = kztest::readFile("/proc/" + std::to_string(worker) + "/stat");
        const size_t close_paren = stat.rfind(')');
        return !kztest::processExists(worker) ||
               (close_paren != std::string::npos && stat.compare(close_paren, 3, ") Z") == 0);
      },
      std::chrono::seconds(30)));
  if (kztest::processExists(worker)) kill(worker, SIGKILL);
}

}  // namespace
