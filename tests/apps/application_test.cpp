#include "apps/application.h"

#include <gtest/gtest.h>

#include "apps/comp_strategy.h"
#include "tests/apps/apps_fixture.h"
#include "tests/apps/regenerator_double.h"

namespace {

using kztest::readFile;

class ApplicationTest : public kztest::AppsTest {
 protected:
  void TearDown() override {
    Application::TEST_setSleeper(nullptr);
    AppsTest::TearDown();
  }

  ApplicationConf appConf(const std::string& name, std::vector<ComponentConf> comps) {
    ApplicationConf conf;
    conf.name = name;
    conf.fullName = name + " full";
    conf.path = appPath();
    conf.components = std::move(comps);
    return conf;
  }

  // Position of `needle` in the log, npos when absent.
  size_t at(const std::string& needle) { return log().find(needle); }

  kztest::RecordingRegenerator regen_;
};

TEST_F(ApplicationTest, StartsInOrderAndStopsInReverse) {
  Application app(appConf("App", {comp("first", ""), comp("second", "")}));
  app.setRegenerator(&regen_);
  ASSERT_TRUE(app.start({}, StandartCompStrategy()));
  EXPECT_TRUE(app.isStarted());
  EXPECT_TRUE(app.allStarted());
  EXPECT_EQ(regen_.regenerations, 2);
  EXPECT_LT(at("component \"first\" from application \"App\" has been started "),
            at("component \"second\" from application \"App\" has been started "));
  EXPECT_NE(at("application \"App\" has been started"), std::string::npos);

  app.stop();
  EXPECT_FALSE(app.isStarted());
  EXPECT_LT(at("Component::stop() # second"), at("Component::stop() # first"));
  EXPECT_EQ(regen_.events, (std::vector<std::string>{"started App", "stopped App"}));
  app.stop();  // not started: only the debug line
  EXPECT_EQ(regen_.events.size(), 2u);
}

TEST_F(ApplicationTest, GivesUpWhenTheListIsUsedUpAndStopsWhatStarted) {
  const std::string counter = file("counter");
  Application app(appConf("App", {comp("first", ""), comp("second", ""),
                                  comp("broken", "--tc-fail-times=100 --tc-counter=" + counter)}));
  app.setRegenerator(&regen_);
  EXPECT_FALSE(app.start({1, 1}, StandartCompStrategy()));
  EXPECT_EQ(readFile(counter), "3\n");  // one attempt plus one per interval
  EXPECT_TRUE(app.isStarted());         // stays marked for the fault handling
  EXPECT_FALSE(app.allStarted());
  EXPECT_TRUE(app.hasStoppedComponent());
  EXPECT_LT(at("Component::stop() # broken"), at("Component::stop() # second"));
  EXPECT_LT(at("Component::stop() # second"), at("Component::stop() # first"));
  EXPECT_TRUE(regen_.events.empty());
}

// Each retry waits its interval in steps of at most five seconds; a stop
// request ends the retries.
TEST_F(ApplicationTest, RetrySleepsAndTheirEnd) {
  struct Case {
    std::vector<int32_t> times;
    bool stop_in_sleep;
    std::vector<unsigned> steps;
    const char* attempts;
  } cases[] = {{{}, false, {}, "1\n"},
               {{5, 10, 12, 3}, false, {5, 5, 5, 5, 5, 2, 3}, "5\n"},
               {{12, 10}, true, {5}, "1\n"}};
  for (const auto& k : cases) {
    RunState::set(RunState::STARTED);
    std::vector<unsigned> steps;
    Application::TEST_setSleeper([&](unsigned s) {
      steps.push_back(s);
      if (k.stop_in_sleep) RunState::set(RunState::STOPPED);
    });
    const std::string counter = file("counter");
    unlink(counter.c_str());
    Application app(
        appConf("App", {comp("broken", "--tc-fail-times=100 --tc-counter=" + counter)}));
    EXPECT_FALSE(app.start(k.times, StandartCompStrategy()));
    EXPECT_EQ(steps, k.steps);
    EXPECT_EQ(readFile(counter), k.attempts);
  }
  // Not running at all: no component is even tried.
  Application app(appConf("App", {comp("broken", "--tc-counter=" + file("none"))}));
  EXPECT_FALSE(app.start({}, StandartCompStrategy()));
  EXPECT_FALSE(kztest::fileExists(file("none")));
}

}  // namespace
