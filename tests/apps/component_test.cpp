#include "apps/component.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>

#include "apps/comp_strategy.h"
#include "apps/io.h"
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

class ComponentTest : public kztest::AppsTest {
 protected:
  std::string startError(Component& c) {
    return kztest::errorOf<std::runtime_error>(
        [&] { c.startStandart(StandartCompStrategy(), appPath(), 0, 0, "Full"); });
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
  EXPECT_THAT(rec, HasSubstr("pid " + std::to_string(child) + "\n"));
  EXPECT_EQ(recordedArgs(rec),
            (std::vector<std::string>{appPath() + "comp", "--tc-record=" + record, "plain",
                                      "two words"}));
  EXPECT_THAT(rec, HasSubstr("fds 0 1 2\n"));
  // Dies by SIGTERM: not "by exit", remembered as a fault pid.
  EXPECT_FALSE(c.stop(false));
  EXPECT_FALSE(c.isStarted());
  EXPECT_EQ(c.getFd(), -1);
  EXPECT_EQ(c.getPid(), child);
  EXPECT_TRUE(c.hasFaultPid(child));
  const std::string text = log();
  EXPECT_THAT(text, HasSubstr("component \"comp\" started <comp name=\"comp\""));
  EXPECT_THAT(text, HasSubstr("kill -TERM pid=" + std::to_string(child) + " name=\"comp\""));
  EXPECT_THAT(text, HasSubstr("component \"comp\" terminated by signal 15 (" +
                              std::string(strsignal(SIGTERM)) + ")"));
  EXPECT_THAT(readFile(record), HasSubstr("signal 15\n"));
}

// Every answer but a blank fails the start, and the child is stopped; no
// answer within the start time (one second here) is "not answer".
TEST_F(ComponentTest, EveryWrongAnswerIsReportedAndTheChildStopped) {
  struct Case {
    const char* answer;
    const char* expected;
  } cases[] = {{"E", "component \"comp\" starting error"},
               {"newline", "component \"comp\" stoped"},
               {"wrong", "component \"comp\" wrong answer"},
               {"none", "component \"comp\" not answer"}};
  for (const auto& k : cases) {
    const std::string record = file(std::string("rec-") + k.answer);
    Component c(comp("comp", std::string("--tc-answer=") + k.answer + " --tc-record=" + record, 1));
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(startError(c), k.expected);
    if (k.answer == std::string("none")) {
      EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(900));
    }
    EXPECT_FALSE(c.isStarted());
    EXPECT_EQ(c.getFd(), -1);
    EXPECT_THAT(readFile(record), HasSubstr("signal 15\n")) << k.answer;
  }
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
  EXPECT_TRUE(text == "stoped untimely" || text == "component stoped himself" ||
              text == "component \"missing\" starting error")
      << text;
  EXPECT_THAT(log(), HasSubstr("exec( " + appPath() + "missing ) error: " + strerror(ENOENT)));
}

// An unknown account or group never runs the component.
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
}

TEST_F(ComponentTest, IgnoredTermIsFollowedByKill) {
  const std::string record = file("rec");
  Component c(comp("comp", "--tc-ignore-term --tc-record=" + record, 5, 1));
  c.startStandart(StandartCompStrategy(), appPath(), 0, 0, "Full");
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_FALSE(c.stop(false));
  EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(900));
  EXPECT_THAT(readFile(record), HasSubstr("signal 15\n"));
  EXPECT_THAT(log(), HasSubstr("component \"comp\" terminated by signal 9 (" +
                               std::string(strsignal(SIGKILL)) + ")"));
}

// The arguments each start mode gives the program; the check modes replace
// the last configured argument (or the program path, with none).
TEST_F(ComponentTest, ModeArgumentsOfEveryStrategy) {
  const StandartCompStrategy standart;
  const UpdateCompStrategy update;
  const ChangeSocketStrategy change("/run/agent.tmp", "/run/korza-agent.tmp.pid");
  const CheckOnlyStrategy check;
  const CheckOnlyWithAlternativeAgentStrategy alternative("/run/agent.tmp");
  const std::string prog = appPath() + "comp";
  struct Case {
    const CompStrategy* strategy;
    std::string argv;
    std::vector<std::string> expected;
  } cases[] = {
      {&standart, "one LAST", {prog, "one", "LAST"}},
      {&update, "one LAST", {prog, "one", "LAST", "--update"}},
      {&change,
       "one LAST",
       {prog, "one", "LAST", "--socket", "/run/agent.tmp", "--pid-file",
        "/run/korza-agent.tmp.pid"}},
      {&check, "one LAST", {prog, "one", "LAST", "--check-only"}},
      {&alternative, "one LAST", {prog, "one", "--check-only", "/run/agent.tmp"}},
      {&alternative, "", {"--check-only", "/run/agent.tmp"}},
  };
  int n = 0;
  for (const auto& k : cases) {
    const std::string record = file("rec" + std::to_string(n++));
    setenv("KZ_TC_OPTIONS", ("--tc-record=" + record).c_str(), 1);
    Component c(comp("comp", k.argv));
    testing::internal::CaptureStderr();
    k.strategy->start(c, appPath(), 0, 0, "Full");
    const std::string err = testing::internal::GetCapturedStderr();
    if (k.strategy->name() == "check-only") {
      EXPECT_EQ(err, "checking \"comp\" component: OK\n");
    }
    ASSERT_TRUE(kztest::waitFor([&] { return readFile(record).find("fds") != std::string::npos; }));
    EXPECT_EQ(recordedArgs(readFile(record)), k.expected) << n;
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

}  // namespace

// Descriptor numbers past 1023 are waited on like any other (a fixed-size
// descriptor set would be written past its end).
TEST(ComponentSettings, ComponentsConfiguredAlikeChangeApart) {
  ComponentConf conf;
  conf.name = "a";
  conf.logType = kLogTypeLog;
  Component a(conf);
  conf.name = "b";
  Component b(conf);
  a.createInformer();
  b.createInformer();
  EXPECT_EQ(a.getInformer(), b.getInformer());  // the one log informer
  ComponentConf changed = conf;
  changed.user = "nobody";
  changed.logType = kLogTypeCommand;
  changed.logValue = "cat";
  EXPECT_TRUE(b.reconfig(changed));
  EXPECT_EQ(b.permissions(), "nobody:");
  const auto* command = dynamic_cast<const CmdInformer*>(b.getInformer());
  ASSERT_NE(command, nullptr);
  EXPECT_EQ(command->command(), "cat");
  const Component moved(std::move(a));
  EXPECT_EQ(moved.permissions(), ":");
  EXPECT_EQ(moved.getLogType(), kLogTypeLog);
  EXPECT_EQ(moved.getLogCommand(), "");
  EXPECT_NE(dynamic_cast<const LogInformer*>(moved.getInformer()), nullptr);
}

TEST(IoTest, ReadsLinesFromADescriptorAbove1023) {
  struct rlimit limit;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_cur < 1600) GTEST_SKIP() << "soft descriptor limit too low";
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  const int high = fcntl(ends[0], F_DUPFD, 1500);
  ASSERT_GE(high, 1500);
  close(ends[0]);
  int other[2];  // the child's standard error in check-all mode, drained meanwhile
  ASSERT_EQ(pipe(other), 0);
  int drain = fcntl(other[0], F_DUPFD, 1550);
  close(other[0]);
  ASSERT_EQ(write(other[1], "noise", 5), 5);
  close(other[1]);
  ASSERT_EQ(write(ends[1], "Options OK\nrest", 15), 15);
  close(ends[1]);
  long long budget_us = 5000000;
  std::string line;
  EXPECT_TRUE(IO::readLine(high, budget_us, line, &drain));
  EXPECT_EQ(line, "Options OK");
  line.clear();
  EXPECT_FALSE(IO::readLine(high, budget_us, line, &drain));
  EXPECT_EQ(line, "rest");
  if (drain >= 0) close(drain);
  close(high);
}
