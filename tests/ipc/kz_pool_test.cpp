#include "ipc/kz_pool.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <set>

#include "tests/ipc/ipc_test_support.h"

namespace {

using namespace korza::ipc;
using korza::base::KzDeadline;
using korza::base::KzTimeout;
using kztest::errorOf;

TEST(ConnSettings, LimitsAndTheConnectTimeoutFromTheEnvironment) {
  EXPECT_THROW(ConnSettings(0, 65536).Check(), korza::base::KzParameterError);
  EXPECT_THROW(ConnSettings(5, 3).Check(), korza::base::KzParameterError);
  setenv("KZ_CONNECT_TIMEOUT", "3", 1);
  EXPECT_EQ(KzPersistentClientPoolManager().ConnectTimeout().ms(), 3000u);
  setenv("KZ_CONNECT_TIMEOUT", "-1", 1);
  EXPECT_TRUE(ConnectTimeoutFromEnvironment().IsInfinite());
  unsetenv("KZ_CONNECT_TIMEOUT");
  EXPECT_EQ(ConnectTimeoutFromEnvironment().ms(), 10000u);
}

class PoolTest : public ::testing::Test {
 protected:
  KzAddressList addresses() const { return ResolveAddressList({"local:" + dir_.file("s")}); }
  kztest::TempDir dir_;
  const KzDeadline kLong{KzTimeout(5000u)};
};

TEST_F(PoolTest, StatisticsAreNeverAppendedThroughALink) {
  kztest::writeFile(dir_.file("victim"), "keep");
  ASSERT_EQ(symlink(dir_.file("victim").c_str(), dir_.file("linked").c_str()), 0);
  KzPersistentClientPoolManager client;
  client.SetStatisticsFile(dir_.file("linked"));
  kztest::LogCapture log;
  client.WriteStatistics();
  EXPECT_EQ(kztest::readFile(dir_.file("victim")), "keep");
  EXPECT_TRUE(log.contains("Error in open file " + dir_.file("linked") + " for writing: "));
}

TEST_F(PoolTest, UnreachableServerEndsInTimeOutAndClientWaitsForItsMaximum) {
  kztest::LogCapture log;
  KzPersistentClientPoolManager client(ConnSettings(0, 1));
  client.SetPause(KzTimeout(20u));
  client.Open(addresses());
  EXPECT_THROW(client.GetReady(KzDeadline(KzTimeout(150u))), korza::base::KzTimedOut);
  EXPECT_TRUE(log.contains("CreateClientConnection - cannot establish a connection to local:" +
                           dir_.file("s")));
  KzPersistentServerPoolManager server;
  server.Open(addresses());
  KzIpcPtr first = client.GetReady(kLong);
  ASSERT_TRUE(first);
  EXPECT_EQ(errorOf<korza::base::KzTimedOut>([&] {
              client.GetReady(KzDeadline(KzTimeout(50u)));
            }).rfind("a waiting of PP-Manager::GetReady: timed out (deadline=", 0),
            0u);
  client.Release(first, true);
  EXPECT_EQ(client.GetReady(kLong), first);
  client.Release(first, false);
  EXPECT_EQ(client.Total(), 0u);
}

TEST_F(PoolTest, ServerClosingAnIdleConnectionIsNoticed) {
  kztest::LogCapture log;
  KzPersistentServerPoolManager server(ConnSettings(0, 4), KzTimeout(100u));
  server.SetMaintenanceTimeout(KzTimeout(20u));
  server.Open(addresses());
  KzPersistentClientPoolManager client(ConnSettings(0, 4));
  client.SetMaintenanceTimeout(KzTimeout(20u));
  client.Open(addresses());
  client.Release(client.GetReady(kLong), true);
  // The server drops it as idle; the client's maintenance loop sees the
  // close and removes it before anybody can take it.
  ASSERT_TRUE(kztest::waitFor([&] { return client.Total() == 0; }));
  EXPECT_TRUE(log.contains("has been broken/closed on server side (poll revent=0x"));
  EXPECT_EQ(server.Statistics().closed_by_timeout, 1u);
}

TEST_F(PoolTest, ConnectionClosedBeforeItIsWatchedIsNotHandedOut) {
  KzPersistentServerPoolManager server;
  server.Open(addresses());
  KzPersistentClientPoolManager client(ConnSettings(0, 1));
  // The maintenance thread stays asleep: only the take-time check can see
  // the closure.
  client.SetMaintenanceTimeout(KzTimeout(60000u));
  client.SetPause(KzTimeout(1u));
  client.Open(addresses());
  KzIpcPtr conn = client.GetReady(kLong);
  ASSERT_TRUE(conn->Send(std::string("x"), KzTimeout(5000u)));
  server.Release(server.GetReady(kLong), false);
  client.Release(conn, true);
  KzIpcPtr fresh = client.GetReady(kLong);
  ASSERT_TRUE(fresh);
  EXPECT_NE(fresh, conn);
  EXPECT_EQ(client.Total(), 1u);
}

TEST_F(PoolTest, BasePoolAtOpenAndDonorForConcurrentDemand) {
  KzPersistentServerPoolManager server;
  server.Open(addresses());
  KzPersistentClientPoolManager client(ConnSettings(2, 4));
  client.Open(addresses());
  // The minimum is made at once and waits in the b-pool.
  EXPECT_EQ(client.BasePoolCount(), 2u);
  KzIpcPtr a = client.GetReady(kLong);
  KzIpcPtr b = client.GetReady(kLong);
  // A third caller connects itself while the others are busy; a spare is
  // then prepared in the background and handed to the fourth.
  KzIpcPtr c = client.GetReady(kLong);
  ASSERT_TRUE(kztest::waitFor([&] { return client.DonorPoolCount() == 1; }));
  EXPECT_EQ(client.Total(), 4u);
  KzIpcPtr d = client.GetReady(kLong);
  ASSERT_TRUE(d);
  EXPECT_EQ(client.Statistics().created_on_request, 1u);
  EXPECT_EQ(client.Statistics().total_created, 4u);
}

TEST_F(PoolTest, FullServerShedsItsLongestIdleConnectionForANewClient) {
  KzPersistentServerPoolManager server(ConnSettings(0, 2));
  server.SetMaintenanceTimeout(KzTimeout(20u));
  server.Open(addresses());
  std::vector<KzIpcPtr> clients;
  for (int i = 0; i < 3; ++i) {
    clients.push_back(KzIpcFactory::Instance().Create("*", "local:" + dir_.file("s")));
    ASSERT_TRUE(clients.back()->Connect(KzTimeout(2000u)));
    const size_t expected = std::min(i + 1, 2);
    ASSERT_TRUE(kztest::waitFor([&] {
      return server.IdleCount() == expected && server.Statistics().total_created == size_t(i + 1);
    }));
  }
  // The first client, idle longest, was closed to let the third in.
  char byte;
  size_t length = 1;
  EXPECT_THROW(clients[0]->Receive(&byte, &length, KzTimeout(2000u)),
               korza::base::KzIpcErrorClosedByPeer);
  EXPECT_EQ(server.Statistics().closed, 1u);
}

// The threads of this process, and how often they were switched out.
std::set<std::string> threads() {
  std::set<std::string> ids;
  DIR* d = opendir("/proc/self/task");
  if (d == nullptr) return ids;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') ids.insert(e->d_name);
  }
  closedir(d);
  return ids;
}

uint64_t switches(const std::set<std::string>& ids) {
  uint64_t sum = 0;
  for (const auto& id : ids) {
    std::ifstream in("/proc/self/task/" + id + "/status");
    for (std::string line; std::getline(in, line);) {
      if (line.find("ctxt_switches:") != std::string::npos) {
        sum += std::stoull(line.substr(line.find(':') + 1));
      }
    }
  }
  return sum;
}

TEST_F(PoolTest, IdleManagersSleepUntilSomethingIsDue) {
#if defined(__SANITIZE_THREAD__)
  // The sanitizer's own background thread wakes on its own period.
  GTEST_SKIP() << "not under ThreadSanitizer";
#endif
  const std::set<std::string> before = threads();
  if (before.empty()) GTEST_SKIP() << "no /proc/self/task here";
  KzPersistentServerPoolManager server;
  server.Open(addresses());
  KzPersistentClientPoolManager client(ConnSettings(1, 2));
  client.Open(addresses());
  ASSERT_TRUE(kztest::waitFor([&] { return server.IdleCount() == 1; }));
  std::set<std::string> maintainers;
  for (const auto& id : threads()) {
    if (before.count(id) == 0) maintainers.insert(id);
  }
  ASSERT_EQ(maintainers.size(), 2u);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  // Nothing is due (an idle time-out of minutes, a client at its minimum):
  // neither thread wakes.
  const uint64_t start = switches(maintainers);
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_EQ(switches(maintainers), start);
}

}  // namespace
