#include "ipc/kz_status_proto.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "ipc/kz_session.h"
#include "tests/support/sandbox.h"

namespace {

using namespace korza::ipc;
using namespace korza::postd;
using korza::base::KzTimeout;

// Every field set, so that a field lost or swapped on the way shows.
StatusSnapshot sample() {
  StatusSnapshot s;
  s.pid = 4321;
  s.startTime = 1700000000;
  s.version = "6.0.0.201105110";
  s.time = 1700000100;
  ApplicationStatus agent{"AGENT", "Agent application", true, false, {}};
  agent.components.push_back({"agent", 77, ComponentState::kRunning, 0, 1700000001, 2, 1700000050,
                              "killed by signal 9 (Killed)"});
  agent.components.push_back({"helper", 0, ComponentState::kWaiting, 1700000200, 0, 0, 1700000090,
                              "exited with status 1"});
  ApplicationStatus postd{"POSTD", "", false, true, {}};
  postd.components.push_back({"postd", 0, ComponentState::kGivenUp, 0, 5, 0, 6, "start failed"});
  s.applications = {agent, postd, ApplicationStatus{"EMPTY", "x", true, true, {}}};
  return s;
}

void expectEqual(const StatusSnapshot& a, const StatusSnapshot& b) {
  EXPECT_EQ(a.pid, b.pid);
  EXPECT_EQ(a.startTime, b.startTime);
  EXPECT_EQ(a.version, b.version);
  EXPECT_EQ(a.time, b.time);
  ASSERT_EQ(a.applications.size(), b.applications.size());
  for (size_t i = 0; i < a.applications.size(); ++i) {
    const ApplicationStatus& x = a.applications[i];
    const ApplicationStatus& y = b.applications[i];
    EXPECT_EQ(x.name, y.name);
    EXPECT_EQ(x.fullName, y.fullName);
    EXPECT_EQ(x.started, y.started);
    EXPECT_EQ(x.inRunList, y.inRunList);
    ASSERT_EQ(x.components.size(), y.components.size());
    for (size_t k = 0; k < x.components.size(); ++k) {
      const ComponentStatus& c = x.components[k];
      const ComponentStatus& d = y.components[k];
      EXPECT_EQ(std::tie(c.name, c.pid, c.state, c.dueTime, c.lastStart, c.restarts,
                         c.lastFaultTime, c.lastFault),
                std::tie(d.name, d.pid, d.state, d.dueTime, d.lastStart, d.restarts,
                         d.lastFaultTime, d.lastFault))
          << x.name << "/" << c.name;
    }
  }
}

TEST(StatusProtocol, SnapshotSurvivesTheRoundTripThroughASession) {
  kztest::TempDir dir;
  const StatusSnapshotPtr published = std::make_shared<StatusSnapshot>(sample());
  std::atomic<bool> published_yet{true};
  auto server = std::make_shared<KzServerSession>(
      std::make_shared<KzPersistentServerPoolManager>(ConnSettings(0, 4)));
  server->Register(std::make_shared<KzStatusServer>(
      [&] { return published_yet ? published : StatusSnapshotPtr(); }));
  server->SetRequestTimeout(KzTimeout(2000u));
  server->Open("local:" + dir.file("s"));
  std::atomic<bool> stop{false};
  std::thread serving([&] {
    while (!stop) {
      try {
        server->Execute(KzTimeout(50u));
      } catch (const std::exception&) {
      }
    }
  });
  KzClientSession client(std::make_shared<KzPersistentClientPoolManager>(ConnSettings(0, 1)));
  client.Open("local:" + dir.file("s"));

  auto call = std::make_shared<KzStatusClient>();
  ASSERT_TRUE(client.process(call, KzTimeout(5000u)));
  ASSERT_TRUE(call->answered());
  expectEqual(call->GetResult(), *published);
  EXPECT_GE(call->serverTime(), published->time);

  // No snapshot yet: the exchange fails, and the client says so.
  published_yet = false;
  auto none = std::make_shared<KzStatusClient>();
  EXPECT_FALSE(client.process(none, KzTimeout(5000u)));
  EXPECT_FALSE(none->answered());

  stop = true;
  serving.join();
}

}  // namespace
