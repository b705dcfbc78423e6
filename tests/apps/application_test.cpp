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

  std::vector<int> fds;
  app.addFds(fds);
  ASSERT_EQ(fds.size(), 2u);
  EXPECT_EQ(app.getPidByFd(fds[1]), app.getComponents()[1].getPid());
  EXPECT_EQ(app.getPidByFd(-7), -1);
  EXPECT_EQ(app.firstPid(), app.getComponents()[0].getPid());
  EXPECT_EQ(app.permissionsList(), ":");
  EXPECT_EQ(app.singleArgv(), "");

  app.stop();
  EXPECT_FALSE(app.isStarted());
  EXPECT_LT(at("Component::stop() # second"), at("Component::stop() # first"));
  EXPECT_EQ(regen_.events, (std::vector<std::string>{"started App", "stopped App"}));
  app.stop();  // not started: only the debug line
  EXPECT_EQ(regen_.events.size(), 2u);
}

TEST_F(ApplicationTest, RetriesOnTheRecoveryListDuringStart) {
  const std::string counter = file("counter");
  Application app(appConf(
      "App", {comp("first", ""), comp("flaky", "--tc-fail-times=1 --tc-counter=" + counter)}));
  ASSERT_TRUE(app.start({1}, StandartCompStrategy()));
  EXPECT_EQ(readFile(counter), "2\n");
  EXPECT_NE(at("sleep 1"), std::string::npos);
  EXPECT_NE(at("cannot start component \"flaky\" from application \"App\": "), std::string::npos);
  app.stop();
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

TEST_F(ApplicationTest, EmptyListGivesOneAttempt) {
  const std::string counter = file("counter");
  Application app(appConf("App", {comp("broken", "--tc-fail-times=100 --tc-counter=" + counter)}));
  EXPECT_FALSE(app.start({}, StandartCompStrategy()));
  EXPECT_EQ(readFile(counter), "1\n");
}

TEST_F(ApplicationTest, RetrySleepsAreCutInFiveSecondSteps) {
  std::vector<unsigned> steps;
  Application::TEST_setSleeper([&](unsigned s) { steps.push_back(s); });
  const std::string counter = file("counter");
  Application app(appConf("App", {comp("broken", "--tc-fail-times=100 --tc-counter=" + counter)}));
  EXPECT_FALSE(app.start({5, 10, 12, 3}, StandartCompStrategy()));
  EXPECT_EQ(steps, (std::vector<unsigned>{5, 5, 5, 5, 5, 2, 3}));
  EXPECT_EQ(readFile(counter), "5\n");
}

TEST_F(ApplicationTest, StoppingStateEndsTheRetries) {
  std::vector<unsigned> steps;
  Application::TEST_setSleeper([&](unsigned s) {
    steps.push_back(s);
    RunState::set(RunState::STOPPED);
  });
  const std::string counter = file("counter");
  Application app(appConf("App", {comp("broken", "--tc-fail-times=100 --tc-counter=" + counter)}));
  EXPECT_FALSE(app.start({12, 10}, StandartCompStrategy()));
  EXPECT_EQ(steps, std::vector<unsigned>{5});
  EXPECT_EQ(readFile(counter), "1\n");
  // Not running at all: no component is even tried.
  EXPECT_FALSE(app.start({}, StandartCompStrategy()));
  EXPECT_EQ(readFile(counter), "1\n");
}

TEST_F(ApplicationTest, RecoveryRestartsTheComponentOfThePid) {
  const std::string counter = file("counter");
  Application app(appConf("App", {comp("comp", "--tc-fail-times=0 --tc-counter=" + counter)}));
  ASSERT_TRUE(app.start({}, StandartCompStrategy()));
  Component& c = app.getComponents()[0];
  const pid_t old_pid = c.getPid();
  ASSERT_EQ(kill(old_pid, SIGKILL), 0);
  EXPECT_FALSE(app.fault(old_pid, 1000, {}));
  EXPECT_TRUE(app.hasStoppedComponent());
  EXPECT_TRUE(app.hasFaultPid(old_pid));

  // A failing attempt keeps the dead instance's pid for the next one.
  kztest::writeFile(counter, "-1\n");
  ComponentConf failing = comp("comp", "--tc-fail-times=5 --tc-counter=" + counter);
  c.reconfig(failing);
  EXPECT_FALSE(app.recovery(old_pid, 1000, 1));
  EXPECT_TRUE(c.hasPid(old_pid));
  EXPECT_FALSE(c.isStarted());

  c.reconfig(comp("comp", ""));
  EXPECT_TRUE(app.recovery(old_pid, 1000, 2));
  EXPECT_TRUE(c.isStarted());
  EXPECT_NE(c.getPid(), old_pid);
  EXPECT_NE(at("Application::recovery() pid=" + std::to_string(old_pid)), std::string::npos);
  EXPECT_FALSE(app.cannotRecovery(old_pid, 1000));
  EXPECT_TRUE(app.cannotRecovery(c.getPid(), 1000));
  app.stop();
}

TEST_F(ApplicationTest, ReconfigComponentsAddsRemovesAndTakesOver) {
  Application app(appConf("App", {comp("keep", "-a"), comp("gone", "")}));
  ASSERT_TRUE(app.start({}, StandartCompStrategy()));
  ApplicationConf next = appConf("App", {comp("keep", "-b"), comp("fresh", "")});
  next.fullName = "New name";
  next.depends = {"Base"};
  EXPECT_TRUE(app.reconfig(next, {}));
  ASSERT_EQ(app.getComponents().size(), 2u);
  EXPECT_EQ(app.getComponents()[0].getName(), "keep");
  EXPECT_EQ(app.getComponents()[1].getName(), "fresh");
  EXPECT_TRUE(app.allStarted());
  EXPECT_TRUE(app.dependsOn("BASE"));
  const std::string text = log();
  EXPECT_NE(text.find("application \"App\" change full name \"App full\" to \"New name\""),
            std::string::npos);
  EXPECT_NE(text.find("application \"App\" now depends on \"Base\""), std::string::npos);
  EXPECT_NE(text.find("component \"keep\" from \"App\" has been reconfigured"), std::string::npos);
  EXPECT_NE(text.find("component \"gone\" from application \"App\" must be deleted"),
            std::string::npos);
  EXPECT_NE(text.find("new component \"fresh\""), std::string::npos);
  app.stop();
}

TEST_F(ApplicationTest, ReconfigWithANewPathRestartsEverything) {
  Application app(appConf("App", {comp("one", "")}));
  app.setRegenerator(&regen_);
  ASSERT_TRUE(app.start({}, StandartCompStrategy()));
  const pid_t before = app.getComponents()[0].getPid();
  ApplicationConf next = appConf("App", {comp("one", "")});
  next.path = appPath() + "./";
  EXPECT_TRUE(app.reconfig(next, {}));
  EXPECT_EQ(app.getPath(), appPath() + "./");
  EXPECT_NE(app.getComponents()[0].getPid(), before);
  EXPECT_TRUE(app.allStarted());
  EXPECT_NE(at("All components should be restarted"), std::string::npos);
  EXPECT_EQ(regen_.events, (std::vector<std::string>{"started App", "stopped App", "started App"}));
  app.stop();
}

TEST_F(ApplicationTest, DumpAndListing) {
  ApplicationConf conf = appConf("App", {});
  conf.depends = {"B", "a"};
  Application app(conf);
  EXPECT_EQ(app.dump(false), "<app name=\"App\"\nfullName=\"App full\"\npath=\"" + appPath() +
                                 "\"\ndeps=\"a,B\"><comps></comps></app>");
  EXPECT_TRUE(app.allStarted());
  EXPECT_EQ(app.firstPid(), 0);
  app.logMetaConf();
  EXPECT_NE(at("    Application \"App\""), std::string::npos);
  EXPECT_NE(at("        Depends \"a\" \"B\" "), std::string::npos);
  EXPECT_NE(at("    EndApplication"), std::string::npos);
}

}  // namespace
