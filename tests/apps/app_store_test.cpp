#include "apps/app_store.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>

#include "apps/comp_strategy.h"
#include "apps/owner_index.h"
#include "apps/run_app_store.h"
#include "tests/apps/apps_fixture.h"
#include "tests/apps/regenerator_double.h"

namespace {

using kztest::readFile;

class AppStoreTest : public kztest::AppsTest {
 protected:
  // An application with one component of the same name in lower case.
  std::shared_ptr<ApplicationConf> app(const std::string& name, Utils::NameSet deps,
                                       const std::string& argv = "") {
    auto conf = std::make_shared<ApplicationConf>();
    conf->name = name;
    conf->fullName = name + " full";
    conf->path = appPath();
    conf->depends = std::move(deps);
    std::string comp_name = name;
    for (auto& ch : comp_name) ch = static_cast<char>(tolower(ch));
    conf->components.push_back(comp(comp_name, argv));
    return conf;
  }

  void build(const RunAppStore::Records& records) {
    store_.setApplications(records);
    store_.setRegenerator(&regen_);
  }

  kztest::RecordingRegenerator regen_;
  RunAppStore store_;
};

TEST_F(AppStoreTest, DependenciesStartFirstAndOnce) {
  build({app("X", {"Y"}), app("Y", {"Z"}), app("Z", {}), app("W", {"Z"})});
  store_.startApps({"X", "W"}, {}, "local:agent", "/run/");
  EXPECT_EQ(regen_.events,
            (std::vector<std::string>{"started Z", "started W", "started Y", "started X"}));
  EXPECT_EQ(store_.countStarted(), 4u);

  // Dependents first, whatever the catalogue order.
  regen_.events.clear();
  store_.stopApps();
  EXPECT_EQ(regen_.events,
            (std::vector<std::string>{"stopped X", "stopped Y", "stopped W", "stopped Z"}));
  EXPECT_EQ(store_.countStarted(), 0u);
}

TEST_F(AppStoreTest, FailingDependencyStopsTheChain) {
  const std::string counter = file("counter");
  build({app("X", {"Y"}), app("Y", {"Z"}),
         app("Z", {}, "--tc-fail-times=100 --tc-counter=" + counter)});
  EXPECT_FALSE(store_.startApp("X", {}, StandartCompStrategy()));
  const std::string text = log();
  EXPECT_THAT(text, HasSubstr("application \"Z\" cannot start"));
  EXPECT_THAT(text,
              HasSubstr("application \"Y\" cannot start, because of depends application \"Z\" "
                        "not started"));
  EXPECT_THAT(text,
              HasSubstr("application \"X\" cannot start, because of depends application \"Y\" "
                        "not started"));
  EXPECT_FALSE(store_.isStarted("X"));
  EXPECT_FALSE(store_.isStarted("Y"));
  EXPECT_TRUE(store_.isStarted("Z"));  // its failed start leaves it marked
  EXPECT_TRUE(regen_.events.empty());
}

TEST_F(AppStoreTest, StartIsRefusedUnlessRunning) {
  build({app("A", {})});
  EXPECT_THROW(store_.startApp("nosuch", {}, StandartCompStrategy()), AppStore::BadAppName);
  RunState::set(RunState::STOPPED);
  EXPECT_THROW(store_.startApp("A", {}, StandartCompStrategy()), AppStore::StartError);
}

TEST_F(AppStoreTest, FaultAndAgentRecoverySendSighupOnce) {
  const std::string record = file("rec-d");
  build({app("AGENT", {}), app("D", {"agent"}, "--tc-record=" + record)});
  store_.startApps({"D"}, {}, "a", "/run/");
  store_.buildDependents();  // entries doubled: still one SIGHUP
  const pid_t agent_pid = store_.find("AGENT")->getComponents()[0].getPid();

  ASSERT_EQ(kill(agent_pid, SIGKILL), 0);
  store_.fault(agent_pid, 1000);
  EXPECT_TRUE(store_.hasFaultPid(agent_pid));
  EXPECT_TRUE(store_.hasPid(agent_pid));
  EXPECT_THAT(log(),
              HasSubstr("This could affect operation of the following application(s): \"D\""));
  EXPECT_FALSE(store_.recovery(agent_pid, 1000, 1, {"D"}));  // not among the names
  EXPECT_TRUE(store_.recovery(agent_pid, 1000, 1, {}));
  EXPECT_THAT(log(), HasSubstr("Sending SIGHUP to application D due to AGENT recovered"));
  ASSERT_TRUE(
      kztest::waitFor([&] { return readFile(record).find("signal 1\n") != std::string::npos; }));
  store_.stopApps();
  EXPECT_EQ(kztest::countOf(readFile(record), "signal 1\n"), 1u);
}

TEST_F(AppStoreTest, FaultyAppsStopButKeptDependenciesStay) {
  build({app("Base", {}), app("Lib", {}), app("Top", {"Base", "Lib"})});
  store_.startApps({"Top"}, {}, "a", "/run/");
  const pid_t top_pid = store_.find("Top")->getComponents()[0].getPid();
  // Lib is not running any more: its line is logged all the same.
  store_.find("Lib")->stop();
  ASSERT_EQ(kill(top_pid, SIGKILL), 0);
  store_.fault(top_pid, 1000);
  regen_.events.clear();
  store_.stopFaultyApps({"Top", "Base"});
  EXPECT_EQ(regen_.events, (std::vector<std::string>{"stopped Top"}));
  EXPECT_THAT(log(),
              HasSubstr("one component from application Top is fault. The application will be "
                        "stoped"));
  EXPECT_THAT(log(),
              HasSubstr("application Lib going to stop, because no one application depend on "
                        "it now"));
  EXPECT_TRUE(store_.isStarted("Base"));
  store_.stopApps();
}

}  // namespace

namespace {

// The owner of a management descriptor or a pid is found through the
// index, which follows starts, restarts, stops and a reload that grows the
// component list (moving every component in memory).
TEST_F(AppStoreTest, OwnersOfDescriptorsAndPidsFollowStartsReloadsAndStops) {
  auto conf = app("A", {});
  build({conf});
  store_.startApps({"A"}, {}, "a", "/run/");
  Component* first = &store_.find("A")->getComponents()[0];
  const pid_t pid = first->getPid();
  const int fd = first->getFd();
  EXPECT_EQ(store_.getPidByFd(fd), pid);
  EXPECT_EQ(store_.findByPid(pid), store_.find("A"));
  EXPECT_EQ(store_.getPidByFd(fd + 1000), -1);

  // A reload that adds components moves the first one in memory.
  for (const char* name : {"b", "c", "d", "e"}) conf->components.push_back(comp(name, ""));
  ASSERT_TRUE(store_.reconfigApplication(*conf, {}));
  std::vector<int> fds;
  store_.addFds(fds);
  ASSERT_EQ(fds.size(), 5u);
  for (const auto& c : store_.find("A")->getComponents())
    EXPECT_EQ(store_.getPidByFd(c.getFd()), c.getPid()) << c.getName();
  EXPECT_EQ(store_.getPidByFd(fd), pid);

  // A death is filed by pid, restarted by pid; the old descriptor is gone.
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  store_.fault(pid, 1000);
  EXPECT_EQ(store_.getPidByFd(fd), -1);
  EXPECT_TRUE(store_.hasPid(pid));  // kept until the restart
  ASSERT_TRUE(store_.recovery(pid, 1000, 1, {}));
  const Component& again = store_.find("A")->getComponents()[0];
  EXPECT_NE(again.getPid(), pid);
  EXPECT_FALSE(store_.hasPid(pid));
  EXPECT_EQ(store_.getPidByFd(again.getFd()), again.getPid());

  store_.stopApps();
  fds.clear();
  store_.addFds(fds);
  EXPECT_TRUE(fds.empty());
  EXPECT_EQ(store_.getPidByFd(again.getFd()), -1);
}

TEST(OwnerIndexTest, FollowsPidsAndDescriptorsThroughMovesAndEnds) {
  using Owners = std::vector<Component*>;
  OwnerIndex index;
  std::vector<std::pair<int, bool>> heard;
  index.setFdListener([&](int fd, bool held) { heard.emplace_back(fd, held); });
  ComponentConf conf;
  Component a(conf), b(conf), c(conf);
  for (Component* comp : {&a, &b, &c}) comp->attach(&index, nullptr);
  a.setPidAfterFailedRecovery(300);
  b.setPidAfterFailedRecovery(100);
  c.setPidAfterFailedRecovery(300);  // a reused pid, carried twice
  EXPECT_EQ(index.byPid(300), (Owners{&a, &c}));
  EXPECT_EQ(index.byPid(100), (Owners{&b}));
  EXPECT_TRUE(index.byPid(200).empty());
  const int fd = open("/dev/null", O_RDONLY);
  ASSERT_GE(fd, 0);
  b.setFd(fd);
  EXPECT_EQ(index.byFd(fd), &b);
  EXPECT_EQ(index.byFd(fd + 1000), nullptr);
  {
    Component moved(std::move(a));
    EXPECT_EQ(index.byPid(300), (Owners{&moved, &c}));
  }
  EXPECT_EQ(index.byPid(300), (Owners{&c}));
  c.setPidAfterFailedRecovery(50);
  EXPECT_TRUE(index.byPid(300).empty());
  EXPECT_EQ(index.byPid(50), (Owners{&c}));
  std::vector<int> held;
  index.descriptors(held);
  EXPECT_EQ(held, std::vector<int>{fd});
  b.closeFd();
  EXPECT_EQ(index.byFd(fd), nullptr);
  EXPECT_EQ(index.fdCount(), 0u);
  EXPECT_EQ(heard, (std::vector<std::pair<int, bool>>{{fd, true}, {fd, false}}));
}

}  // namespace
