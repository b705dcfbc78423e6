#include "base/log.h"

#include <gtest/gtest.h>
#include <syslog.h>
#include <unistd.h>

#include <regex>
#include <thread>

#include "tests/support/sandbox.h"

namespace {

using korza::LogClass;

TEST(LogLevels, ParseNamesWithoutLetterCase) {
  EXPECT_EQ(LogClass::parseLevel("info"), 4);
  EXPECT_EQ(LogClass::parseLevel("DEBUG"), 5);
  EXPECT_EQ(LogClass::parseLevel("Alert"), 3);
  EXPECT_EQ(LogClass::parseLevel("error"), 2);
  EXPECT_EQ(LogClass::parseLevel("quiet"), 0);
  try {
    LogClass::parseLevel("verbose");
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(),
                 "Error in level value verbose. Use Quiet | Error | Alert | Info | Debug");
  }
}

TEST(LogFacilities, ParseNamesWithoutLetterCase) {
  EXPECT_EQ(LogClass::parseFacility("Daemon"), LOG_DAEMON);
  EXPECT_EQ(LogClass::parseFacility("mail"), LOG_MAIL);
  EXPECT_EQ(LogClass::parseFacility("LOCAL3"), LOG_LOCAL3);
  EXPECT_EQ(LogClass::parseFacility("local7"), LOG_LOCAL7);
  try {
    LogClass::parseFacility("user");
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Error in SyslogFacility value user. Use Daemon | Mail | Local0-7\n");
  }
}

class LogFileTest : public ::testing::Test {
 protected:
  void TearDown() override { LogClass::closeFile(); }
  std::string lines() {
    LogClass::flush();
    return kztest::readFile(path_);
  }
  kztest::TempDir dir_;
  std::string path_ = dir_.file("monitor.log");
};

TEST_F(LogFileTest, LineFormatIsTimeThreadNameLevelMessage) {
  LogClass log("monitor");
  ASSERT_TRUE(log.init(path_, "info", "Daemon", false));
  log.info("hello world");
  const std::string text = lines();
  // ctime text with its newline replaced by a blank, then the thread prefix.
  std::regex line(
      "^[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d \\d{4} "
      "\\[0x[0-9a-f]+\\] monitor INFO hello world\n$");
  EXPECT_TRUE(std::regex_match(text, line)) << text;
}

TEST_F(LogFileTest, LevelFiltersSeverities) {
  LogClass log("monitor");
  ASSERT_TRUE(log.init(path_, "info", "daemon", false));
  log.fatal("f");
  log.error("e");
  log.alert("a");
  log.info("i");
  log.debug("d");
  std::string text = lines();
  EXPECT_NE(text.find(" FATAL f\n"), std::string::npos);
  EXPECT_NE(text.find(" ERROR e\n"), std::string::npos);
  EXPECT_NE(text.find(" WARN a\n"), std::string::npos);
  EXPECT_NE(text.find(" INFO i\n"), std::string::npos);
  EXPECT_EQ(text.find(" DEBUG d"), std::string::npos);

  log.setLevel(korza::kLogQuiet);
  log.fatal("quiet-fatal");
  EXPECT_EQ(lines().find("quiet-fatal"), std::string::npos);
}

TEST_F(LogFileTest, ContextTopIsWrittenBeforeTheMessage) {
  LogClass log("monitor");
  ASSERT_TRUE(log.init(path_, "debug", "daemon", false));
  {
    korza::KzNDC::Scope outer("outer");
    korza::KzNDC::Scope inner("inner");
    log.debug("with context");
  }
  log.debug("without context");
  std::string text = lines();
  EXPECT_NE(text.find("monitor DEBUG inner with context\n"), std::string::npos) << text;
  EXPECT_NE(text.find("monitor DEBUG without context\n"), std::string::npos) << text;
  EXPECT_EQ(korza::KzNDC::depth(), 0u);
}

TEST_F(LogFileTest, LongTextIsCutToTheBuffer) {
  LogClass log("monitor");
  ASSERT_TRUE(log.init(path_, "info", "daemon", false));
  log.error(std::string(5000, 'x') + "TAIL");
  log.writef(korza::kLogError, "%s%s", std::string(2000, 'y').c_str(), "END");
  std::string text = lines();
  EXPECT_EQ(kztest::countOf(text, std::string(korza::kLogBufferSize - 1, 'x') + "\n"), 1u);
  EXPECT_EQ(text.find("TAIL"), std::string::npos);
  EXPECT_EQ(kztest::countOf(text, std::string(korza::kLogBufferSize - 1, 'y') + "\n"), 1u);
  EXPECT_EQ(text.find("END"), std::string::npos);
}

TEST_F(LogFileTest, ConcurrentWritersNeverInterleaveLines) {
  LogClass log("monitor");
  ASSERT_TRUE(log.init(path_, "info", "daemon", false));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&log, t] {
      for (int i = 0; i < 200; ++i) log.error("thread" + std::to_string(t) + std::string(100, 'z'));
    });
  }
  // A reload sets the log up again while the others write (ThreadSanitizer
  // watches this).
  threads.emplace_back([&log, this] {
    for (int i = 0; i < 50; ++i) {
      log.setName("monitor");
      log.init(path_, "info", i % 2 ? "daemon" : "mail", false);
    }
  });
  for (auto& th : threads) th.join();
  std::string text = lines();
  EXPECT_EQ(kztest::countOf(text, "\n"), 800u);
  EXPECT_EQ(kztest::countOf(text, std::string(100, 'z') + "\n"), 800u);
}

// Missing directories and links (the daemon runs as root) are refused.
TEST_F(LogFileTest, UnopenableFileIsReported) {
  LogClass log("monitor");
  const std::string victim = dir_.file("victim");
  kztest::writeFile(victim, "keep\n");
  const std::string link = dir_.file("link.log");
  ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
  for (const std::string& name : {std::string("/nonexistent-dir/x.log"), link}) {
    try {
      log.init(name, "info", "daemon", false);
      FAIL() << name;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(e.what(), "error in open log file " + name);
    }
  }
  EXPECT_EQ(kztest::readFile(victim), "keep\n");
}

TEST_F(LogFileTest, MonitorStartUpForcesQuietLevelsInConsoleMode) {
  ASSERT_TRUE(korza::initMonitorLogging(path_, "debug", "debug", "daemon", true));
  EXPECT_EQ(korza::monitorLog().level(), korza::kLogAlert);
  EXPECT_EQ(korza::ipcLog().level(), korza::kLogError);
  korza::monitorLog().setConsoleEcho(false);
  ASSERT_TRUE(korza::initMonitorLogging(path_, "debug", "info", "daemon", false));
  EXPECT_EQ(korza::monitorLog().level(), korza::kLogDebug);
  EXPECT_EQ(korza::ipcLog().level(), korza::kLogInfo);
  EXPECT_FALSE(korza::initMonitorLogging(path_, "loud", "info", "daemon", false));
  EXPECT_NE(lines().find("error init log system: Error in level value loud."), std::string::npos);
}

}  // namespace
