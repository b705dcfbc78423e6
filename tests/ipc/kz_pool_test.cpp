#include "ipc/kz_pool.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "base/kz_exception.h"
#include "tests/ipc/ipc_test_support.h"
#include "tests/support/process_runner.h"
#include "tests/support/sandbox.h"

namespace {

using namespace korza::ipc;
using korza::base::KzDeadline;
using korza::base::KzTimeout;

TEST(ConnSettings, CheckRejectsTooManyAndMinAboveMax) {
  EXPECT_NO_THROW(ConnSettings(3, 65535).Check());
  try {
    ConnSettings(0, 70000).Check();
    FAIL();
  } catch (const korza::base::KzParameterError& e) {
    EXPECT_STREQ(e.what(),
                 "ConnSettings::Check: the 'max number of connections' parameter contains "
                 "invalid value '70000(too much)'");
  }
  try {
    ConnSettings(5, 3).Check();
    FAIL();
  } catch (const korza::base::KzParameterError& e) {
    EXPECT_STREQ(e.what(),
                 "ConnSettings::Check: the 'min is greater than max' parameter is invalid");
  }
}

TEST(ConnectTimeout, ComesFromTheEnvironment) {
  unsetenv("KZ_CONNECT_TIMEOUT");
  EXPECT_EQ(ConnectTimeoutFromEnvironment().ms(), 10000u);
  setenv("KZ_CONNECT_TIMEOUT", "3", 1);
  EXPECT_EQ(ConnectTimeoutFromEnvironment().ms(), 3000u);
  EXPECT_EQ(KzPersistentClientPoolManager().ConnectTimeout().ms(), 3000u);
  setenv("KZ_CONNECT_TIMEOUT", "soon", 1);
  EXPECT_EQ(ConnectTimeoutFromEnvironment().ms(), 0u);
  setenv("KZ_CONNECT_TIMEOUT", "-1", 1);
  EXPECT_TRUE(ConnectTimeoutFromEnvironment().IsInfinite());
  unsetenv("KZ_CONNECT_TIMEOUT");
}

class PoolTest : public ::testing::Test {
 protected:
  KzAddressList addresses() const { return ResolveAddressList({"local:" + dir_.file("s")}); }
  kztest::TempDir dir_;
};

TEST_F(PoolTest, ClientWaitsForItsMaximumAndTimesOut) {
  KzPersistentServerPoolManager server;
  server.Open(addresses());
  KzPersistentClientPoolManager client(ConnSettings(0, 1));
  client.Open(addresses());
  KzIpcPtr first = client.GetReady(KzDeadline(KzTimeout(5000u)));
  ASSERT_TRUE(first);
  EXPECT_EQ(client.Total(), 1u);
  try {
    client.GetReady(KzDeadline(KzTimeout(50u)));
    FAIL();
  } catch (const korza::base::KzTimedOut& e) {
    EXPECT_EQ(
        std::string(e.what()).rfind("a waiting of PP-Manager::GetReady: timed out (deadline=", 0),
        0u);
  }
  client.Release(first, true);
  EXPECT_EQ(client.GetReady(KzDeadline(KzTimeout(5000u))), first);
  client.Release(first, false);
  EXPECT_EQ(client.Total(), 0u);
  EXPECT_EQ(first->GetHandle(), -1);
}

TEST_F(PoolTest, UnreachableServerEndsInTimeOut) {
  kztest::LogCapture log;
  KzPersistentClientPoolManager client(ConnSettings(0, 2));
  client.SetPause(KzTimeout(20u));
  client.Open(addresses());
  EXPECT_THROW(client.GetReady(KzDeadline(KzTimeout(150u))), korza::base::KzTimedOut);
  EXPECT_TRUE(log.contains("CreateClientConnection - cannot establish a connection to local:" +
                           dir_.file("s")));
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
  KzIpcPtr conn = client.GetReady(KzDeadline(KzTimeout(5000u)));
  client.Release(conn, true);
  EXPECT_EQ(client.IdleCount(), 1u);
  // The server drops it as idle; the client's maintenance loop sees the
  // close and removes it before anybody can take it.
  ASSERT_TRUE(kztest::waitFor([&] { return client.Total() == 0; }));
  EXPECT_EQ(client.IdleCount(), 0u);
  EXPECT_TRUE(log.contains("Remove by timeout"));
  EXPECT_TRUE(log.contains("has been broken/closed on server side (poll revent=0x"));
  EXPECT_EQ(server.Statistics().closed_by_timeout, 1u);
}

TEST_F(PoolTest, StatisticsFileReport) {
  KzPersistentClientPoolManager client;
  client.SetStatisticsFile(dir_.file("stats"));
  kztest::LogCapture log;
  client.WriteStatistics();
  const std::string text = kztest::readFile(dir_.file("stats"));
  EXPECT_EQ(text.rfind(std::string(70, '=') + "\nstart:  ", 0), 0u);
  EXPECT_NE(text.find("\ncurr:   "), std::string::npos);
  EXPECT_NE(text.find("\nperiod: 0d 0h 0m "), std::string::npos);
  EXPECT_NE(text.find("s\n\ntotal created = 0 ("), std::string::npos);
  EXPECT_NE(text.find("\nmax cre = 0 est=0 don=0 act=0\n"), std::string::npos);
  EXPECT_NE(text.find("\nclosed: 0 ("), std::string::npos);
  EXPECT_TRUE(log.contains("Success append ipc statistic to " + dir_.file("stats") + " file"));
  // Closing an open manager appends one more report.
  KzPersistentServerPoolManager server;
  server.SetStatisticsFile(dir_.file("server-stats"));
  server.Open(addresses());
  server.Close();
  const std::string report = kztest::readFile(dir_.file("server-stats"));
  EXPECT_EQ(kztest::countOf(report, std::string(70, '=')), 1u);
  EXPECT_NE(report.find("\nmax rea=0 est=0 don=0 act=0\n"), std::string::npos);
  // Never appended through a link.
  kztest::writeFile(dir_.file("victim"), "keep");
  ASSERT_EQ(symlink(dir_.file("victim").c_str(), dir_.file("linked").c_str()), 0);
  client.SetStatisticsFile(dir_.file("linked"));
  client.WriteStatistics();
  EXPECT_EQ(kztest::readFile(dir_.file("victim")), "keep");
  EXPECT_TRUE(log.contains("Error in open file " + dir_.file("linked") + " for writing: "));
}

TEST_F(PoolTest, BasePoolAtOpenAndDonorForConcurrentDemand) {
  KzPersistentServerPoolManager server;
  server.Open(addresses());
  kztest::LogCapture log;
  KzPersistentClientPoolManager client(ConnSettings(2, 4));
  client.Open(addresses());
  // The minimum is made at once and waits in the b-pool.
  EXPECT_EQ(client.BasePoolCount(), 2u);
  EXPECT_EQ(kztest::countOf(log.text(), " is placed into the b-pool"), 2u);
  const KzDeadline deadline(KzTimeout(5000u));
  KzIpcPtr a = client.GetReady(deadline);
  KzIpcPtr b = client.GetReady(deadline);
  EXPECT_EQ(client.Statistics().created_on_request, 0u);
  EXPECT_EQ(client.Statistics().donor, 0u);
  // A third caller connects itself while the others are busy; a spare is
  // then prepared in the background and handed to the fourth.
  KzIpcPtr c = client.GetReady(deadline);
  ASSERT_TRUE(kztest::waitFor([&] { return client.DonorPoolCount() == 1; }));
  EXPECT_EQ(client.Statistics().donor, 1u);
  EXPECT_EQ(client.Total(), 4u);
  KzIpcPtr d = client.GetReady(deadline);
  ASSERT_TRUE(d);
  EXPECT_EQ(client.Statistics().created_on_request, 1u);
  EXPECT_EQ(client.Statistics().total_created, 4u);
  EXPECT_EQ(client.DonorPoolCount(), 0u);
  for (const KzIpcPtr& conn : {a, b, c, d}) client.Release(conn, true);
  EXPECT_EQ(client.IdleCount(), 4u);
  // Closing counts only what still exists.
  client.Close();
  EXPECT_EQ(client.Total(), 0u);
}

TEST_F(PoolTest, ClientBindsItsLocalAddress) {
  KzPersistentServerPoolManager server;
  server.Open(addresses());
  KzPersistentClientPoolManager client(ConnSettings(0, 1));
  client.SetLocalAddress(KzIpcFactory::Instance().CreateAddress("local:" + dir_.file("c")));
  client.Open(addresses());
  KzIpcPtr conn = client.GetReady(KzDeadline(KzTimeout(5000u)));
  ASSERT_TRUE(conn);
  EXPECT_EQ(conn->Text(), "connection (fd->" + std::to_string(conn->GetHandle()) +
                              ", local->local:" + dir_.file("c") +
                              ", server->local:" + dir_.file("s") + ")");
  // The server sees the bound path as its client's address.
  ASSERT_TRUE(conn->Send(std::string("x"), KzTimeout(5000u)));
  ASSERT_TRUE(kztest::waitFor([&] { return server.ReadyCount() == 1; }));
  KzIpcPtr accepted = server.GetReady(KzDeadline(KzTimeout(5000u)));
  EXPECT_EQ(SpecOf(accepted->GetRemoteAddress()), "local:" + dir_.file("c"));
  server.Release(accepted, false);
  // The path left behind is reused by the next connection.
  client.Release(conn, false);
  conn = client.GetReady(KzDeadline(KzTimeout(5000u)));
  EXPECT_TRUE(conn);
  client.Release(conn, false);
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
  KzIpcPtr conn = client.GetReady(KzDeadline(KzTimeout(5000u)));
  ASSERT_TRUE(conn->Send(std::string("x"), KzTimeout(5000u)));
  KzIpcPtr accepted = server.GetReady(KzDeadline(KzTimeout(5000u)));
  server.Release(accepted, false);
  client.Release(conn, true);
  kztest::LogCapture log;
  KzIpcPtr fresh = client.GetReady(KzDeadline(KzTimeout(5000u)));
  ASSERT_TRUE(fresh);
  EXPECT_NE(fresh, conn);
  EXPECT_EQ(conn->GetHandle(), -1);
  EXPECT_TRUE(log.contains(" has been broken/closed on server side (poll revent=0x"));
  EXPECT_EQ(client.Total(), 1u);
  client.Release(fresh, true);
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

}  // namespace
