#include "base/log.h"

#include <gtest/gtest.h>
#include <syslog.h>
#include <unistd.h>

#include <regex>
#include <thread>

#include "tests/support/process_runner.h"
#include "tests/support/sandbox.h"

namespace {

using korza::LogClass;

TEST(LogNames, LevelsAndFacilitiesParseWithoutLetterCase) {
  const std::pair<const char*, int> levels[] = {
      {"DEBUG", 5}, {"info", 4}, {"Alert", 3}, {"error", 2}, {"quiet", 0}};
  for (const auto& [name, level] : levels) EXPECT_EQ(LogClass::parseLevel(name), level) << name;
  EXPECT_EQ(kztest::errorOf([] { LogClass::parseLevel("verbose"); }),
            "Error in level value verbose. Use Quiet | Error | Alert | Info | Debug");
  EXPECT_EQ(LogClass::parseFacility("mail"), LOG_MAIL);
  EXPECT_EQ(LogClass::parseFacility("LOCAL3"), LOG_LOCAL3);
  EXPECT_EQ(kztest::errorOf([] { LogClass::parseFacility("user"); }),
            "Error in SyslogFacility value user. Use Daemon | Mail | Local0-7\n");
}

class LogFileTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(log_.init(path_, "info", "Daemon", false)); }
  void TearDown() override { LogClass::closeFile(); }
  std::string lines() {
    LogClass::flush();
    return kztest::readFile(path_);
  }
  kztest::TempDir dir_;
  std::string path_ = dir_.file("monitor.log");
  LogClass log_{"monitor"};
};

TEST_F(LogFileTest, LineFormatIsTimeThreadNameLevelMessage) {
  log_.info("hello world");
  // ctime text with its newline replaced by a blank, then the thread prefix.
  const std::regex line(
      "^[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d \\d{4} "
      "\\[0x[0-9a-f]+\\] monitor INFO hello world\n$");
  const std::string text = lines();
  EXPECT_TRUE(std::regex_match(text, line)) << text;
}

TEST_F(LogFileTest, LevelFiltersContextTopPrecedesTheMessageAndLongTextIsCut) {
  log_.fatal("f");
  log_.error("e");
  log_.alert("a");
  log_.info("i");
  log_.debug("d");
  // Long texts are cut to the buffer.
  log_.error(std::string(5000, 'x') + "TAIL");
  log_.writef(korza::kLogError, "%s%s", std::string(2000, 'y').c_str(), "END");
  log_.setLevel(korza::kLogDebug);
  {
    korza::KzNDC::Scope outer("outer");
    korza::KzNDC::Scope inner("inner");
    log_.debug("with context");
  }
  EXPECT_EQ(korza::KzNDC::depth(), 0u);
  log_.setLevel(korza::kLogQuiet);
  log_.fatal("quiet-fatal");
  const std::string text = lines();
  for (const char* part : {" FATAL f\n", " ERROR e\n", " WARN a\n", " INFO i\n",
                           "monitor DEBUG inner with context\n"}) {
    EXPECT_THAT(text, HasSubstr(part)) << part;
  }
  EXPECT_THAT(text, Not(HasSubstr(" DEBUG d")));
  EXPECT_THAT(text, Not(HasSubstr("quiet-fatal")));
  EXPECT_EQ(kztest::countOf(text, " " + std::string(1023, 'x') + "\n"), 1u);
  EXPECT_EQ(kztest::countOf(text, " " + std::string(1023, 'y') + "\n"), 1u);
}

TEST_F(LogFileTest, ConcurrentWritersNeverInterleaveLines) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < 200; ++i)
        log_.error("thread" + std::to_string(t) + std::string(100, 'z'));
    });
  }
  // A reload sets the log up again while the others write (ThreadSanitizer
  // watches this).
  threads.emplace_back([this] {
    for (int i = 0; i < 50; ++i) log_.init(path_, "info", i % 2 ? "daemon" : "mail", false);
  });
  for (auto& th : threads) th.join();
  const std::string text = lines();
  EXPECT_EQ(kztest::countOf(text, "\n"), 800u);
  EXPECT_EQ(kztest::countOf(text, std::string(100, 'z') + "\n"), 800u);
}

// Info lines are buffered, yet reach the file on their own once the
// flusher runs: nobody has to flush periodically.
TEST_F(LogFileTest, BufferedInfoLinesReachTheFileWithoutAFlush) {
  LogClass::startFlusher();
  LogClass::startFlusher();
  for (int i = 0; i < 3; ++i) {
    log_.info("line " + std::to_string(i));
    EXPECT_TRUE(kztest::waitFor(
        [&] {
          return kztest::readFile(path_).find("line " + std::to_string(i)) != std::string::npos;
        },
        std::chrono::seconds(5)));
  }
}

// Missing directories and links (the daemon runs as root) are refused.
TEST_F(LogFileTest, UnopenableFileIsReported) {
  const std::string victim = dir_.file("victim");
  kztest::writeFile(victim, "keep\n");
  const std::string link = dir_.file("link.log");
  ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
  for (const std::string& name : {std::string("/nonexistent-dir/x.log"), link}) {
    EXPECT_EQ(kztest::errorOf([&] { log_.init(name, "info", "daemon", false); }),
              "error in open log file " + name);
  }
  EXPECT_EQ(kztest::readFile(victim), "keep\n");
}

}  // namespace
