#include "apps/component.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

#include "apps/comp_strategy.h"
#include "apps/notification_context.h"
#include "tests/apps/apps_fixture.h"

namespace {

using kztest::readFile;

TEST(ComponentArguments, SplitsOnBlanksAndGroupsQuotes) {
  using V = std::vector<std::string>;
  EXPECT_EQ(Component::splitArguments(""), V{});
  EXPECT_EQ(Component::splitArguments("  -a  b\tc \n"), (V{"-a", "b", "c"}));
  EXPECT_EQ(Component::splitArguments("-c \"a b\" 'x \"y\"' z"), (V{"-c", "a b", "x \"y\"", "z"}));
  EXPECT_EQ(Component::splitArguments("\"\" ''"), (V{"", ""}));
  // A quote in the middle of a word ends that word.
  EXPECT_EQ(Component::splitArguments("ab\"c d\"ef"), (V{"ab", "c d", "ef"}));
  // An unclosed quote runs to the end of the text.
  EXPECT_EQ(Component::splitArguments("x 'open end "), (V{"x", "open end "}));
  // Non-graphic characters are trimmed from words ended by a blank.
  EXPECT_EQ(Component::splitArguments("\x01word\x02 last\x01"), (V{"word", "last\x01"}));
}

TEST(ComponentText, DumpAndListingLines) {
  ComponentConf conf;
  conf.name = "filter";
  conf.argv = "-d 1";
  conf.timeStart = 10;
  conf.timeStop = 20;
  conf.logType = kLogTypeCommand;
  conf.logValue = "/bin/cat";
  conf.user = "mail";
  conf.group = "wheel";
  Component c(conf);
  EXPECT_EQ(c.dump(false),
            "<comp name=\"filter\" argv=\"-d 1\" start=\"10\" stop=\"20\" log=\"3\" "
            "user=\"mail:wheel\"cmd=\"/bin/cat\"/>");
  EXPECT_EQ(c.dump(true),
            "<comp name=\"filter\" argv=\"-d 1\" start=\"10\" stop=\"20\" log=\"3\" "
            "user=\"mail:wheel\"cmd=\"/bin/cat\" fd=\"-1\" pid=\"-1\"/>");
  EXPECT_EQ(c.metaConfLine(),
            "            filter    \"-d 1\"    10    20    \"/bin/cat\"    mail:wheel");
  EXPECT_EQ(c.permissions(), "mail:wheel");
  conf.argv.clear();
  conf.logType = kLogTypeMail;
  conf.logValue.clear();
  EXPECT_EQ(Component(conf).dump(false),
            "<comp name=\"filter\" start=\"10\" stop=\"20\" log=\"2\" user=\"mail:wheel\"/>");
  EXPECT_EQ(Component(conf).metaConfLine(),
            "            filter    \"\"    10    20    MAIL    mail:wheel");
}

class ComponentTest : public kztest::AppsTest {
 protected:
  std::string startError(Component& c) {
    try {
      c.startStandart(StandartCompStrategy(), appPath(), 0, 0, "Full");
    } catch (const Component::StopedHimself& e) {
      return std::string("StopedHimself: ") + e.what();
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return "started";
  }
};

TEST_F(ComponentTest, BlankAnswerStartsAndStopWaitsForTheChild) {
  const std::string record = file("rec");
  Component c(comp("comp", "--tc-record=" + record + " plain 'two words'"));
  // A descriptor the monitor holds open must not reach the child.
  const int stray = open("/dev/null", O_RDONLY);
  ASSERT_GE(stray, 3);
  c.startStandart(StandartCompStrategy(), appPath(), 0, 0, "Full");
  close(stray);
  EXPECT_TRUE(c.isStarted());
  EXPECT_GE(c.getFd(), 3);
  ASSERT_GT(c.getPid(), 0);
  const pid_t child = c.getPid();
  ASSERT_TRUE(kztest::waitFor([&] { return readFile(record).find("fds") != std::string::npos; }));
  const std::string rec = readFile(record);
  EXPECT_NE(rec.find("pid " + std::to_string(child) + "\n"), std::string::npos);
  EXPECT_EQ(recordedArgs(rec),
            (std::vector<std::string>{appPath() + "comp", "--tc-record=" + record, "plain",
                                      "two words"}));
  EXPECT_NE(rec.find("fds 0 1 2\n"), std::string::npos) << rec;
  std::vector<int> fds;
  EXPECT_TRUE(c.addFd(fds));
  EXPECT_EQ(fds, std::vector<int>{c.getFd()});

  // Dies by SIGTERM: not "by exit", remembered as a fault pid.
  EXPECT_FALSE(c.stop(false));
  EXPECT_FALSE(c.isStarted());
  EXPECT_EQ(c.getFd(), -1);
  EXPECT_EQ(c.getPid(), child);
  EXPECT_TRUE(c.hasFaultPid(child));
  const std::string text = log();
  EXPECT_NE(text.find("component \"comp\" started <comp name=\"comp\""), std::string::npos);
  EXPECT_NE(text.find("kill -TERM pid=" + std::to_string(child) + " name=\"comp\""),
            std::string::npos);
  EXPECT_NE(text.find("component \"comp\" terminated by signal 15 (" +
                      std::string(strsignal(SIGTERM)) + ")"),
            std::string::npos);
  EXPECT_NE(readFile(record).find("signal 15\n"), std::string::npos);

  // A second stop only logs.
  EXPECT_FALSE(c.stop(false));
  EXPECT_NE(log().find("cannot stop component \"comp\": is not running"), std::string::npos);
}

TEST_F(ComponentTest, StartingTwiceIsALogicError) {
  Component c(comp("comp", ""));
  c.startStandart(StandartCompStrategy(), appPath(), 0, 0, "Full");
  try {
    c.startStandart(StandartCompStrategy(), appPath(), 0, 0, "Full");
    ADD_FAILURE() << "no exception";
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "component \"comp\" has started");
  }
  c.stop(false);
}

TEST_F(ComponentTest, EveryWrongAnswerIsReportedAndTheChildStopped) {
  struct Case {
    const char* answer;
    const char* expected;
  } cases[] = {{"E", "component \"comp\" starting error"},
               {"newline", "component \"comp\" stoped"},
               {"wrong", "component \"comp\" wrong answer"}};
  for (const auto& k : cases) {
    const std::string record = file(std::string("rec-") + k.answer);
    Component c(comp("comp", std::string("--tc-answer=") + k.answer + " --tc-record=" + record));
    EXPECT_EQ(startError(c), k.expected);
    EXPECT_FALSE(c.isStarted());
    EXPECT_EQ(c.getFd(), -1);
    EXPECT_NE(readFile(record).find("signal 15\n"), std::string::npos) << k.answer;
  }
}

TEST_F(ComponentTest, ChildExitingAfterAWrongAnswerStoppedHimself) {
  Component c(comp("comp", "--tc-answer=wrong --tc-term-exit=0"));
  EXPECT_EQ(startError(c), "StopedHimself: component stoped himself");
  EXPECT_FALSE(c.isStarted());
}

TEST_F(ComponentTest, NoAnswerWithinTimeStartIsNotAnswer) {
  const std::string record = file("rec");
  Component c(comp("comp", "--tc-answer=none --tc-record=" + record, 1));
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(startError(c), "component \"comp\" not answer");
  EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(900));
  EXPECT_NE(readFile(record).find("signal 15\n"), std::string::npos);
}

TEST_F(ComponentTest, EarlyDeathIsReportedBySignalOrExit) {
  Component by_exit(comp("comp", "--tc-answer=none --tc-exit-after-ms=0 --tc-exit-code=4"));
  const std::string exit_text = startError(by_exit);
  // The check right after the answer may see the child just before its
  // exit is reported; then the wait of the stop decides.
  EXPECT_TRUE(exit_text == "stoped untimely" ||
              exit_text == "StopedHimself: component stoped himself")
      << exit_text;
  EXPECT_FALSE(by_exit.isStarted());

  Component by_signal(comp("comp", "--tc-answer=none --tc-exit-after-ms=0 --tc-signal=9"));
  const std::string signal_text = startError(by_signal);
  EXPECT_TRUE(signal_text == "signal 9 (" + std::string(strsignal(SIGKILL)) + ") was catching" ||
              signal_text == "component \"comp\" wrong answer")
      << signal_text;
}

TEST_F(ComponentTest, FailedExecIsAStartingErrorWithTheReasonLogged) {
  ComponentConf conf;
  conf.name = "missing";
  conf.timeStart = 5;
  conf.logType = kLogTypeLog;
  Component c(conf);
  const std::string text = startError(c);
  // The child writes "E" and ends with status 5 at once; depending on how
  // far it got when the monitor looks, the start fails by one of these.
  EXPECT_TRUE(text == "stoped untimely" || text == "StopedHimself: component stoped himself" ||
              text == "component \"missing\" starting error")
      << text;
  EXPECT_NE(log().find("exec( " + appPath() + "missing ) error: " + strerror(ENOENT)),
            std::string::npos)
      << log();
  // In check mode the answer pipe carries the single byte "E" as the
  // report, and the reason is logged all the same.
  korza::LogClass::closeFile();
  ASSERT_TRUE(korza::monitorLog().init(file("check.log"), "debug", "Daemon", false));
  Component check(conf);
  testing::internal::CaptureStderr();
  CheckOnlyStrategy().start(check, appPath(), 0, 0, "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "checking \"missing\" component: \n    E\n");
  check.stop(false);
  korza::LogClass::flush();
  EXPECT_NE(readFile(file("check.log")).find("exec( " + appPath() + "missing ) error: "),
            std::string::npos);
}

// An unknown account never runs the component; a user without a group
// runs with its primary group and only its own supplementary groups.
TEST_F(ComponentTest, AccountsAreLookedUpAndNeverFallBackToRoot) {
  for (const auto& bad :
       {std::make_pair("no-such-user-kz", ""), std::make_pair("", "no-such-kz")}) {
    const std::string record = file("rec-bad");
    ComponentConf conf = comp("comp", "--tc-record=" + record);
    conf.user = bad.first;
    conf.group = bad.second;
    Component c(conf);
    const std::string text = startError(c);
    EXPECT_NE(text.find("( \"no-such-"), std::string::npos) << text;
    EXPECT_FALSE(c.isStarted());
    EXPECT_FALSE(kztest::fileExists(record));
  }
  if (getuid() != 0) GTEST_SKIP() << "switching accounts needs root";
  const struct passwd* pw = getpwnam("nobody");
  ASSERT_NE(pw, nullptr);
  ASSERT_EQ(chmod(dir_.path().c_str(), 0777), 0);
  const std::string record = file("rec-nobody");
  ComponentConf conf = comp("comp", "--tc-record=" + record);
  conf.user = "nobody";
  Component c(conf);
  c.startStandart(StandartCompStrategy(), appPath(), 0, 0, "Full");
  ASSERT_TRUE(kztest::waitFor([&] { return readFile(record).find("ids ") != std::string::npos; }));
  // uid, primary gid, and the account's groups only (no root group 0).
  const std::string rec = readFile(record);
  std::string ids = rec.substr(rec.find("ids "));
  ids = ids.substr(0, ids.find('\n'));
  EXPECT_EQ(ids.find("ids " + std::to_string(pw->pw_uid) + " " + std::to_string(pw->pw_gid) + " "),
            0u)
      << ids;
  EXPECT_EQ(("," + ids.substr(ids.rfind(' ') + 1) + ",").find(",0,"), std::string::npos) << ids;
  c.stop(false);
}

TEST_F(ComponentTest, IgnoredTermIsFollowedByKill) {
  for (uint32_t time_stop : {0u, 1u}) {
    const std::string record = file("rec" + std::to_string(time_stop));
    Component c(comp("comp", "--tc-ignore-term --tc-record=" + record, 5, time_stop));
    c.startStandart(StandartCompStrategy(), appPath(), 0, 0, "Full");
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_FALSE(c.stop(false));
    const auto took = std::chrono::steady_clock::now() - begin;
    if (time_stop == 1) {
      // With no time to act on SIGTERM the child may be killed before it
      // sees it; with a second it records it and goes on.
      EXPECT_GE(took, std::chrono::milliseconds(900));
      EXPECT_NE(readFile(record).find("signal 15\n"), std::string::npos);
    }
    EXPECT_NE(log().find("component \"comp\" terminated by signal 9 (" +
                         std::string(strsignal(SIGKILL)) + ")"),
              std::string::npos);
  }
}

TEST_F(ComponentTest, CheckAllModeKeepsNoFaultPid) {
  checkAll = true;
  Component c(comp("comp", ""));
  c.startStandart(StandartCompStrategy(), appPath(), 0, 0, "Full");
  const pid_t child = c.getPid();
  EXPECT_FALSE(c.stop(false));
  EXPECT_FALSE(c.hasFaultPid(child));
  EXPECT_EQ(log().find("terminated by signal"), std::string::npos);
}

TEST_F(ComponentTest, ModeArgumentsOfEveryStrategy) {
  struct Case {
    const CompStrategy* strategy;
    std::vector<std::string> tail;
  };
  const StandartCompStrategy standart;
  const UpdateCompStrategy update;
  const ChangeSocketStrategy change("/run/agent.tmp", "/run/korza-agent.tmp.pid");
  const Case cases[] = {
      {&standart, {"one", "LAST"}},
      {&update, {"one", "LAST", "--update"}},
      {&change,
       {"one", "LAST", "--socket", "/run/agent.tmp", "--pid-file", "/run/korza-agent.tmp.pid"}},
  };
  for (const auto& k : cases) {
    const std::string record = file("rec-" + k.strategy->name());
    setenv("KZ_TC_OPTIONS", ("--tc-record=" + record).c_str(), 1);
    Component c(comp("comp", "one LAST"));
    k.strategy->start(c, appPath(), 0, 0, "Full");
    ASSERT_TRUE(kztest::waitFor([&] { return readFile(record).find("fds") != std::string::npos; }));
    std::vector<std::string> expected{appPath() + "comp"};
    expected.insert(expected.end(), k.tail.begin(), k.tail.end());
    EXPECT_EQ(recordedArgs(readFile(record)), expected) << k.strategy->name();
    c.stop(false);
  }
  EXPECT_EQ(standart.description(), "");
  EXPECT_EQ(update.description(), "in update mode");
  EXPECT_EQ(change.description(), "in change-socket mode");
  EXPECT_EQ(CheckOnlyStrategy().description(), "in check-only mode");
  EXPECT_EQ(CheckOnlyWithAlternativeAgentStrategy("s").name(), "check-only");
}

TEST_F(ComponentTest, CheckOnlyArgumentsReplaceTheLastArgument) {
  struct Case {
    std::string argv;
    bool alternative;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"one LAST", false, {appPath() + "comp", "one", "LAST", "--check-only"}},
      {"one LAST", true, {appPath() + "comp", "one", "--check-only", "/run/agent.tmp"}},
      // Without configured arguments the program path itself goes.
      {"", true, {"--check-only", "/run/agent.tmp"}},
  };
  int n = 0;
  for (const auto& k : cases) {
    const std::string record = file("rec" + std::to_string(n++));
    setenv("KZ_TC_OPTIONS", ("--tc-record=" + record).c_str(), 1);
    Component c(comp("comp", k.argv));
    testing::internal::CaptureStderr();
    if (k.alternative) {
      CheckOnlyWithAlternativeAgentStrategy("/run/agent.tmp").start(c, appPath(), 0, 0, "");
    } else {
      CheckOnlyStrategy().start(c, appPath(), 0, 0, "");
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "checking \"comp\" component: OK\n");
    EXPECT_EQ(recordedArgs(readFile(record)), k.expected);
    c.stop(false);
  }
  EXPECT_FALSE(conf_warning_issued);
}

TEST_F(ComponentTest, CheckModeReportsAreCopiedToStandardError) {
  struct Case {
    std::string options;
    std::string expected;
    bool warning;
  } cases[] = {
      {"--tc-report=Options\\x20OK\\x20and\\x20more", "checking \"comp\" component: OK\n", false},
      {"--tc-report=bad\\x20key\\nsecond\\n\\nlast",
       "checking \"comp\" component: \n    bad key\n    second\n    last\n", true},
      {"--tc-delay-ms=3000", "checking \"comp\" component: timeout (1 sec) expired\n", true},
  };
  for (const auto& k : cases) {
    conf_warning_issued = false;
    Component c(comp("comp", k.options + " LAST", 1));
    testing::internal::CaptureStderr();
    CheckOnlyStrategy().start(c, appPath(), 0, 0, "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), k.expected);
    EXPECT_EQ(conf_warning_issued.load(), k.warning) << k.options;
    c.stop(false);
  }
}

// In check-all mode the child's standard error goes to a second pipe; a
// child that writes more than a pipe holds there still gets its report read.
TEST_F(ComponentTest, CheckAllDrainsTheStandardErrorPipe) {
  checkAll = true;
  Component c(comp("comp", "--tc-stderr=" + std::string(100000, 'e') + " LAST", 5));
  testing::internal::CaptureStderr();
  CheckOnlyStrategy().start(c, appPath(), 0, 0, "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "checking \"comp\" component: OK\n");
  c.stop(false);
}

TEST_F(ComponentTest, FaultReapsReportsAndRecoveryInforms) {
  NotificationContext::setMonitorInfo("Korza (R) Components Monitor", "Linux", "6.0", "host",
                                      {10, 20});
  Component c(comp("comp", ""));
  c.createInformer();
  c.startStandart(StandartCompStrategy(), appPath(), 0, 0, "Full");
  const pid_t child = c.getPid();
  EXPECT_FALSE(c.fault(child + 100000, 1000, "Full", appPath(), {}));
  ASSERT_EQ(kill(child, SIGKILL), 0);
  EXPECT_FALSE(c.fault(child, 1000, "Full", appPath(), {"Dep"}));
  EXPECT_FALSE(c.isStarted());
  EXPECT_TRUE(c.hasPid(child));
  std::string text = log();
  EXPECT_NE(text.find("component \"comp\" fault, pid=" + std::to_string(child)), std::string::npos);
  EXPECT_NE(text.find("LogInform: Date: "), std::string::npos);
  EXPECT_NE(text.find("Subject: ERROR: Component \"comp\" failed"), std::string::npos);

  // Recovery start: fault time above 0 sends the recovery notice.
  c.createInformer();
  c.startStandart(StandartCompStrategy(), appPath(), 1000, 1, "Full");
  EXPECT_NE(log().find("Subject: INFO: Component \"comp\" recovery"), std::string::npos);
  EXPECT_NE(log().find("component \"comp\" recovery <comp"), std::string::npos);
  c.cannotRecovery(1000, "Full", appPath());
  EXPECT_NE(log().find("cannot recovery component comp"), std::string::npos);
  EXPECT_NE(log().find("Subject: ERROR: Component \"comp\" cannot recovery"), std::string::npos);
  c.stop(false);
  NotificationContext::release();
}

TEST_F(ComponentTest, ChildEndingByItselfSendsNoReport) {
  Component c(comp("comp", "--tc-exit-after-ms=300 --tc-exit-code=0"));
  c.createInformer();
  c.startStandart(StandartCompStrategy(), appPath(), 0, 0, "Full");
  const pid_t child = c.getPid();
  ASSERT_TRUE(kztest::waitFor([&] {
    char b;
    return read(c.getFd(), &b, 1) == 0;
  }));
  EXPECT_TRUE(c.fault(child, 1000, "Full", appPath(), {}));
  EXPECT_NE(log().find("component \"comp\" stopped himself, do not sending report"),
            std::string::npos);
  EXPECT_EQ(log().find("LogInform:"), std::string::npos);
}

TEST_F(ComponentTest, SignalsReachOnlyRunningComponents) {
  const std::string record = file("rec");
  Component c(comp("comp", "--tc-record=" + record));
  c.sendSignal(SIGHUP);  // not started: nothing
  c.startStandart(StandartCompStrategy(), appPath(), 0, 0, "Full");
  std::set<pid_t> pids{c.getPid(), 1};
  c.sendSignalIfIn(pids, SIGHUP);
  EXPECT_EQ(pids, std::set<pid_t>{1});
  c.sendSignalIfIn(pids, SIGHUP);  // no longer in the set
  ASSERT_TRUE(
      kztest::waitFor([&] { return readFile(record).find("signal 1\n") != std::string::npos; }));
  EXPECT_NE(log().find("send signal (num=1) to \"comp\" pid=" + std::to_string(c.getPid())),
            std::string::npos);
  c.stop(false);
  EXPECT_EQ(kztest::countOf(readFile(record), "signal 1\n"), 1u);
}

TEST_F(ComponentTest, ReconfigTakesOverSettings) {
  ComponentConf conf = comp("comp", "-a");
  Component c(conf);
  conf.timeStart = 7;
  conf.timeStop = 8;
  EXPECT_FALSE(c.reconfig(conf));
  EXPECT_EQ(c.getTimeStart(), 7u);
  EXPECT_EQ(c.getTimeStop(), 8u);
  EXPECT_EQ(log().find("changed"), std::string::npos);

  conf.argv = "-b";
  conf.user = "nobody";
  EXPECT_TRUE(c.reconfig(conf));
  EXPECT_EQ(c.getArgv(), "-b");
  EXPECT_EQ(c.getUser(), "");  // permissions are compared only when argv is unchanged
  EXPECT_TRUE(c.reconfig(conf));
  EXPECT_EQ(c.permissions(), "nobody:");
  conf.logType = kLogTypeCommand;
  conf.logValue = "/bin/true";
  EXPECT_FALSE(c.reconfig(conf));
  ASSERT_NE(c.getInformer(), nullptr);
  const std::string text = log();
  EXPECT_NE(text.find("component \"comp\" changed argv \"-a\" to \"-b\""), std::string::npos);
  EXPECT_NE(text.find("component \"comp\" changed parmissions \":\" to \"nobody:\""),
            std::string::npos);
  EXPECT_NE(text.find("component \"comp\" changed logType"), std::string::npos);
}

}  // namespace
