// End-to-end runs of the daemon supervising real component processes: the
// binary in a sandbox directory, watched through its log, its pid file and
// the processes it starts.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "tests/support/daemon_sandbox.h"

namespace {

using kztest::ComponentSpec;
using kztest::DaemonSandbox;

const size_t npos = std::string::npos;

class Daemon : public ::testing::Test {
 protected:
  // AGENT <- POSTD, AGENT <- ICAP, run as `run_list`.
  void addSuite(const std::string& run_list) {
    sb_.addApplication({"AGENT", {}, {sb_.component("agent")}});
    sb_.addApplication({"POSTD", {"AGENT"}, {sb_.component("scand"), sb_.component("postd")}});
    sb_.addApplication({"ICAP", {"AGENT"}, {sb_.component("icapd")}});
    sb_.settings["Monitor/RunAppList"] = run_list;
  }
  // The signal ends the daemon cleanly and leaves nothing behind.
  void stopDaemon(int signo = SIGTERM) {
    EXPECT_EQ(sb_.stopWith(signo), 0) << sb_.log();
    EXPECT_FALSE(sb_.anyComponentAlive());
    EXPECT_FALSE(kztest::fileExists(sb_.pidFile()));
    EXPECT_THAT(sb_.log(), HasSubstr("Korza (R) Components Monitor shutdown"));
  }
  // Every text is in the log.
  void expectLogged(std::initializer_list<std::string> texts) {
    const std::string log = sb_.log();
    for (const auto& t : texts) EXPECT_THAT(log, HasSubstr(t));
  }

  DaemonSandbox sb_;
};

TEST_F(Daemon, StartsInDependencyOrderAndStopsDependentsFirst) {
  addSuite("POSTD, ICAP");
  // icapd answers a blank and then chatters: the blank starts it, the rest
  // waits in the pipe for the main loop, which must not take it for death.
  // The answer is read two bytes at a time, so "c" goes with the blank.
  sb_.addApplication({"ICAP", {"AGENT"}, {sb_.component("icapd", "--tc-answer=\\\\x20chatter")}});
  sb_.startAndWait();
  ASSERT_TRUE(sb_.waitForLog("error data in management descriptor")) << sb_.log();
  std::string log = sb_.log();
  EXPECT_THAT(log, HasSubstr(": hatter"));
  EXPECT_THAT(log, Not(HasSubstr("fault, pid=")));
  const size_t agent = log.find("application \"AGENT\" has been started");
  ASSERT_NE(agent, npos) << log;
  EXPECT_LT(agent, log.find("application \"POSTD\" has been started"));
  EXPECT_LT(agent, log.find("application \"ICAP\" has been started"));
  EXPECT_THAT(log, HasSubstr("application \"ICAP\" has been started"));
  // Components of one application start one after the other, in file order.
  EXPECT_LT(log.find("component \"scand\" from application \"POSTD\" has been started"),
            log.find("component \"postd\" from application \"POSTD\" has been started"));
  // Starts the agent could not be told of are logged.
  EXPECT_TRUE(sb_.waitForLog("application \"POSTD\" started")) << sb_.log();
  log = sb_.log();
  EXPECT_THAT(log, Not(HasSubstr("application \"AGENT\" started")));
  EXPECT_EQ(kztest::readFile(sb_.pidFile()), std::to_string(sb_.daemon().pid()) + "\n");

  stopDaemon(SIGINT);
  log = sb_.log();
  EXPECT_THAT(log, HasSubstr("Monitor::terminate(): arrived SIGINT"));
  const size_t agent_stop = log.find("application \"AGENT\" has been stopped");
  ASSERT_NE(agent_stop, npos) << log;
  EXPECT_LT(log.find("application \"POSTD\" has been stopped"), agent_stop);
  EXPECT_LT(log.find("application \"ICAP\" has been stopped"), agent_stop);
  // Components ended by their own exit on SIGTERM are not reported as faults.
  EXPECT_THAT(log, Not(HasSubstr("terminated by signal")));
  EXPECT_EQ(sb_.componentPids("icapd").size(), 1u);
}

// Each killed component is reported through its own informer (the log, a
// command, the mail command), restarted and reported recovered.
TEST_F(Daemon, KilledComponentsAreReportedThroughTheirInformersAndRecovered) {
  const std::string cmd_out = sb_.root() + "/cmd.txt", mail_out = sb_.root() + "/mail.txt";
  sb_.settings["Monitor/InjectCmd"] = "cat >> " + mail_out;
  sb_.settings["Monitor/RecoveryTimeList"] = "1, 2";
  ComponentSpec by_cmd = sb_.component("bycmd"), by_mail = sb_.component("bymail");
  by_cmd.logType = "\"cat >> " + cmd_out + "\"";
  by_mail.logType = "MAIL";
  sb_.addApplication({"AGENT", {}, {sb_.component("postd"), by_cmd, by_mail}});
  sb_.startAndWait();
  const pid_t first = sb_.waitForInstance("postd");
  for (const char* name : {"postd", "bycmd", "bymail"}) {
    ASSERT_EQ(kill(sb_.waitForInstance(name), SIGKILL), 0);
  }
  ASSERT_TRUE(sb_.waitForLog("Subject: INFO: Component \"postd\" recovery")) << sb_.log();
  const pid_t second = sb_.waitForInstance("postd", 2);
  EXPECT_NE(second, first);
  EXPECT_TRUE(kztest::processExists(second));
  EXPECT_FALSE(kztest::processExists(first));  // reaped, not a zombie
  expectLogged({"component \"postd\" fault, pid=" + std::to_string(first),
                "component \"postd\" terminated by signal 9",
                "LogInform: Date: ", "Subject: ERROR: Component \"postd\" failed",
                "Component \"postd\" (pid=" + std::to_string(first) + ", file=" + sb_.appDir() +
                    "postd) used in \"AGENT application\" failed at ",
                "Monitor has tried to restart \"postd\" at ",
                "(new pid=" + std::to_string(second) + ", file="});
  EXPECT_LT(sb_.log().find("failed at"), sb_.log().find("be recovery at"));
  const auto holds = [](const std::string& file, std::initializer_list<const char*> texts) {
    return kztest::waitFor(
        [&] {
          const std::string text = kztest::readFile(file);
          for (const char* t : texts)
            if (text.find(t) == npos) return false;
          return true;
        },
        std::chrono::seconds(20));
  };
  EXPECT_TRUE(holds(cmd_out, {"Subject: ERROR: Component \"bycmd\" failed",
                              "Subject: INFO: Component \"bycmd\" recovery"}))
      << kztest::readFile(cmd_out);
  EXPECT_TRUE(
      holds(mail_out, {"To:root@", "Subject: ERROR: Component \"bymail\" failed", "Host \""}))
      << kztest::readFile(mail_out);
  EXPECT_THAT(kztest::readFile(mail_out), Not(HasSubstr("postd")));
  stopDaemon();
}

TEST_F(Daemon, ComponentThatNeverComesBackStopsItsApplicationAndTheLastOneEndsTheDaemon) {
  addSuite("AGENT, POSTD");
  sb_.settings["Monitor/RecoveryTimeList"] = "1, 1";
  sb_.startAndWait();
  const pid_t postd = sb_.waitForInstance("postd");
  sb_.breakProgram("postd");  // from now on every restart attempt fails
  ASSERT_EQ(kill(postd, SIGKILL), 0);
  ASSERT_TRUE(sb_.waitForLog("application \"POSTD\" has been stopped")) << sb_.log();
  expectLogged({"cannot recovery component postd",
                "Subject: ERROR: Component \"postd\" cannot recovery",
                "one component from application POSTD is fault. The application will be stoped",
                "Abortive attempts to recovery it were made at "});
  // AGENT is in the run set: it keeps running, and so does the daemon.
  EXPECT_THAT(sb_.log(), Not(HasSubstr("application \"AGENT\" has been stopped")));
  EXPECT_FALSE(kztest::processExists(sb_.componentPids("scand").back()));
  EXPECT_TRUE(kztest::processExists(sb_.componentPids("agent").back()));
  EXPECT_TRUE(sb_.daemon().running());

  // When the last application goes too, the daemon ends by itself.
  sb_.breakProgram("agent");
  ASSERT_EQ(kill(sb_.componentPids("agent").back(), SIGKILL), 0);
  int status = -1;
  ASSERT_TRUE(sb_.daemon().wait(std::chrono::seconds(30), &status)) << sb_.log();
  EXPECT_EQ(status, 0);
  expectLogged({"all applications have stoped, terminate korza-monitor application",
                "Korza (R) Components Monitor shutdown"});
  EXPECT_FALSE(kztest::fileExists(sb_.pidFile()));
  EXPECT_FALSE(sb_.anyComponentAlive());
}

TEST_F(Daemon, SighupReloadAddsRemovesAndReconfiguresApplications) {
  addSuite("POSTD, ICAP");
  sb_.startAndWait();
  const pid_t agent = sb_.waitForInstance("agent");
  const pid_t icapd = sb_.waitForInstance("icapd");
  // A broken catalogue changes nothing.
  kztest::writeFile(sb_.metaDir() + "broken.mmc", "APPLICATION\n");
  ASSERT_TRUE(sb_.daemon().signal(SIGHUP));
  ASSERT_TRUE(sb_.waitForLog("reload error: error in *.mmc file")) << sb_.log();
  EXPECT_TRUE(kztest::processExists(icapd));
  // ICAP leaves the catalogue, NEWAPP arrives, postd gets a new start time.
  unlink((sb_.metaDir() + "broken.mmc").c_str());
  unlink((sb_.metaDir() + "ICAP.mmc").c_str());
  sb_.addApplication({"NEWAPP", {"AGENT"}, {sb_.component("newc")}});
  ComponentSpec postd = sb_.component("postd");
  postd.timeStart = 7;
  sb_.addApplication({"POSTD", {"AGENT"}, {sb_.component("scand"), postd}});
  sb_.settings["Monitor/RunAppList"] = "POSTD, NEWAPP";
  sb_.writeConf();
  ASSERT_TRUE(sb_.daemon().signal(SIGHUP));
  ASSERT_TRUE(sb_.waitForLog("application \"NEWAPP\" has been started")) << sb_.log();
  ASSERT_TRUE(sb_.waitForLog("application \"ICAP\" has been stopped")) << sb_.log();
  expectLogged({"Monitor::reload(): arrived SIGHUP", "oldApps: ICAP", "newApps: NEWAPP",
                "immutableApps: POSTD"});
  EXPECT_FALSE(kztest::processExists(icapd));
  // Every running component is told to re-read its configuration.
  EXPECT_TRUE(kztest::waitFor([&] {
    return kztest::countOf(kztest::readFile(sb_.recordFile("agent")), "signal 1\n") >= 1;
  }));
  EXPECT_EQ(sb_.componentPids("agent"), std::vector<pid_t>{agent});  // not restarted
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
    EXPECT_THAT(sb.log(), HasSubstr("Monitor::terminate(): arrived SIGTERM"));
  }
}

// A misspelt account of the daemon's own ends the start-up: never root.
TEST_F(Daemon, UnknownAccountNeverRunsAsRoot) {
  sb_.addApplication({"AGENT", {}, {sb_.component("agent")}});
  sb_.settings["Monitor/User"] = "no-such-user-kz";
  sb_.writeConf();
  const kztest::RunResult own = sb_.run({"-c", sb_.confFile()});
  EXPECT_EQ(own.status, 8);
  EXPECT_THAT(own.err, HasSubstr("program create error: getpwnam( \"no-such-user-kz\" ) error"));
  EXPECT_TRUE(sb_.componentPids("agent").empty());
}

TEST_F(Daemon, DetachesAndWritesItsPidFile) {
  sb_.settings["Monitor/RunForeground"] = "no";
  sb_.settings["Monitor/ChDir"] = sb_.root();
  sb_.addApplication({"AGENT", {}, {sb_.component("agent")}});
  sb_.writeConf();
  sb_.start();
  int status = -1;
  // The process we started returns at once; the daemon goes on detached.
  ASSERT_TRUE(sb_.daemon().wait(std::chrono::seconds(30), &status));
  EXPECT_EQ(status, 0);
  ASSERT_TRUE(sb_.waitForLog("Korza (R) Components Monitor started")) << sb_.log();
  const pid_t daemon = std::atoi(kztest::readFile(sb_.pidFile()).c_str());
  ASSERT_GT(daemon, 1);
  EXPECT_NE(daemon, sb_.daemon().pid());
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
  const std::string worker_file = sb_.root() + "/worker.pid";
  kztest::writeFile(script,
                    "#!/bin/sh\nsleep 600 </dev/null >/dev/null 2>&1 &\necho $! > \"$1\"\n"
                    "printf ' '\nwait\n",
                    0755);
  sb_.addApplication({"AGENT", {}, {{"agent", worker_file, 5, 1, "LOG", ""}}}, script);
  sb_.startAndWait();
  pid_t worker = 0;
  ASSERT_TRUE(kztest::waitFor(
      [&] { return (worker = std::atoi(kztest::readFile(worker_file).c_str())) > 1; },
      std::chrono::seconds(30)));
  EXPECT_EQ(sb_.stopWith(SIGTERM), 0) << sb_.log();
  // Gone, or at most a zombie waiting for its new parent to reap it.
  EXPECT_TRUE(kztest::waitFor(
      [&] {
        const std::string stat = kztest::readFile("/proc/" + std::to_string(worker) + "/stat");
        return !kztest::processExists(worker) || stat.find(") Z") != npos;
      },
      std::chrono::seconds(30)));
  if (kztest::processExists(worker)) kill(worker, SIGKILL);
}

// After a rotation renamed the log, SIGUSR1 makes the daemon write to a new
// file under the configured name; neither it nor SIGUSR2 ends the daemon,
// reloads it or reaches a component.
TEST_F(Daemon, Sigusr1ReopensTheLogAndSigusr2IsIgnored) {
  sb_.addApplication({"AGENT", {}, {sb_.component("agent")}});
  sb_.settings["Monitor/RunAppList"] = "AGENT";
  sb_.startAndWait();
  sb_.waitForInstance("agent");
  const std::string rotated = sb_.logFile() + ".1";
  ASSERT_EQ(rename(sb_.logFile().c_str(), rotated.c_str()), 0);
  ASSERT_TRUE(sb_.daemon().signal(SIGUSR1));
  ASSERT_TRUE(sb_.waitForLog("log file reopened on SIGUSR1")) << kztest::readFile(rotated);
  ASSERT_TRUE(sb_.daemon().signal(SIGUSR2));
  ASSERT_TRUE(sb_.waitForLog("signal SIGUSR2 ignored"));
  EXPECT_THAT(kztest::readFile(rotated), Not(HasSubstr("SIGUSR")));
  EXPECT_THAT(sb_.log(), Not(HasSubstr("Monitor::reload()")));
  EXPECT_THAT(kztest::readFile(sb_.recordFile("agent")), Not(HasSubstr("signal ")));
  stopDaemon();
}

}  // namespace
