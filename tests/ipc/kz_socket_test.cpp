#include "ipc/kz_socket.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "base/kz_exception.h"
#include "ipc/kz_factory.h"
#include "tests/ipc/ipc_test_support.h"
#include "tests/support/sandbox.h"

namespace {

using namespace korza::ipc;
using korza::base::KzTimeout;

const KzTimeout kWait(5000u);

class SocketTest : public ::testing::Test {
 protected:
  // A listening channel at `spec`, created and listening.
  KzIpcPtr listen(const std::string& spec) {
    KzIpcPtr l = KzIpcFactory::Instance().Create(spec, "*");
    EXPECT_TRUE(l);
    l->Create();
    l->Listen(8);
    return l;
  }
  // Connects a client to `spec` and accepts it on `l`.
  void connectPair(const KzIpcPtr& l, const std::string& spec) {
    client_ = KzIpcFactory::Instance().Create("*", spec);
    ASSERT_TRUE(client_);
    ASSERT_TRUE(client_->Connect(kWait));
    server_ = l->Accept(kWait);
    ASSERT_TRUE(server_);
  }
  std::string unixSpec() const { return "local:" + dir_.file("s"); }

  kztest::TempDir dir_;
  KzIpcPtr client_;
  KzIpcPtr server_;
};

TEST_F(SocketTest, UnixRoundTripTextFormAndMode) {
  KzIpcPtr l = listen(unixSpec());
  struct stat st;
  ASSERT_EQ(stat(dir_.file("s").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0770u);
  connectPair(l, unixSpec());
  EXPECT_TRUE(server_->IsAccepted());
  EXPECT_EQ(server_->Text(), "connection (fd->" + std::to_string(server_->GetHandle()) +
                                 ", local->" + unixSpec() + ", client->local:)");
  EXPECT_EQ(l->Text(), "a listening connection (fd->" + std::to_string(l->GetHandle()) +
                           ", local->" + unixSpec() + ")");
  ASSERT_TRUE(client_->Send("hello", kWait));
  std::string got(5, '\0');
  ASSERT_TRUE(server_->Receive(&got, kWait));
  EXPECT_EQ(got, "hello");
}

TEST_F(SocketTest, ZeroAndShortTimeoutsReturnFalse) {
  KzIpcPtr l = listen(unixSpec());
  EXPECT_FALSE(l->Accept(KzTimeout(0u)));
  connectPair(l, unixSpec());
  char buf[4];
  size_t n = sizeof buf;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(server_->Receive(buf, &n, KzTimeout(0u)));
  EXPECT_EQ(n, 0u);
  n = sizeof buf;
  EXPECT_FALSE(server_->Receive(buf, &n, KzTimeout(50u)));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  // Two of four bytes arrive: the call still times out and says how many came.
  ASSERT_TRUE(client_->Send("ab", kWait));
  n = sizeof buf;
  EXPECT_FALSE(server_->Receive(buf, &n, KzTimeout(50u)));
  EXPECT_EQ(n, 2u);
}

TEST_F(SocketTest, PeerClosingMidMessageRaisesClosedByPeer) {
  KzIpcPtr l = listen(unixSpec());
  connectPair(l, unixSpec());
  ASSERT_TRUE(client_->Send("abc", kWait));
  client_->Close();
  EXPECT_EQ(client_->Text().find("fd->invalid"), std::string("connection (").size());
  kztest::LogCapture log;
  char buf[8];
  size_t n = sizeof buf;
  try {
    server_->Receive(buf, &n, kWait);
    FAIL();
  } catch (const korza::base::KzIpcErrorClosedByPeer& e) {
    EXPECT_EQ(std::string(e.what()), "Socket::Receive " + server_->Text() + "- closed by peer");
  }
  EXPECT_EQ(n, 3u);
  EXPECT_TRUE(log.contains("Socket::Receive(3/8) from " + server_->Text() +
                           " - connection has been closed by peer"));
}

TEST_F(SocketTest, LargeTransfersProgressThroughPartialSends) {
  KzIpcPtr l = listen(unixSpec());
  connectPair(l, unixSpec());
  std::string data(4 * 1024 * 1024, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 4096);
  bool sent = false;
  std::thread writer([&] { sent = client_->Send(data, KzTimeout(20000u)); });
  std::string got(data.size(), '\0');
  const bool received = server_->Receive(&got, KzTimeout(20000u));
  writer.join();
  EXPECT_TRUE(sent);
  EXPECT_TRUE(received);
  EXPECT_TRUE(got == data);
}

TEST_F(SocketTest, StaleSocketIsReboundAndLiveOneRefused) {
  {
    KzIpcPtr dead = listen(unixSpec());
    dead->Close();  // the file stays behind, as after a crash
  }
  ASSERT_TRUE(kztest::fileExists(dir_.file("s")));
  kztest::LogCapture log;
  KzIpcPtr l = listen(unixSpec());
  EXPECT_TRUE(log.contains("stalled socket has been detected"));
  EXPECT_TRUE(log.contains("UnixSocket::Create " + l->Text() +
                           " stalled socket has been removed and binded"));

  KzIpcPtr second = KzIpcFactory::Instance().Create(unixSpec(), "*");
  try {
    second->Create();
    FAIL();
  } catch (const korza::base::KzSystemError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("unix-socket create failed: ", 0), 0u);
  }
  EXPECT_TRUE(log.contains("successfully connected so somebody uses this socket"));
  EXPECT_TRUE(log.contains(" - somebody uses this socket"));
  // The live server still works.
  connectPair(l, unixSpec());
}

TEST_F(SocketTest, RegularFileIsNeverTakenForAStaleSocket) {
  kztest::writeFile(dir_.file("s"), "data");
  KzIpcPtr l = KzIpcFactory::Instance().Create(unixSpec(), "*");
  EXPECT_THROW(l->Create(), korza::base::KzSystemError);
  EXPECT_EQ(kztest::readFile(dir_.file("s")), "data");
}

TEST_F(SocketTest, SendFileSendsTheRangeAndRefusesBeyondTheEnd) {
  KzIpcPtr l = listen(unixSpec());
  connectPair(l, unixSpec());
  std::string content(10000, 'x');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>('a' + i % 26);
  kztest::writeFile(dir_.file("f"), content);
  ASSERT_TRUE(client_->SendFile(dir_.file("f"), 4099, 300, kWait));
  std::string got(300, '\0');
  ASSERT_TRUE(server_->Receive(&got, kWait));
  EXPECT_EQ(got, content.substr(4099, 300));
  try {
    client_->SendFile(dir_.file("f"), 9000, 1001, kWait);
    FAIL();
  } catch (const korza::base::KzException& e) {
    EXPECT_STREQ(e.what(), "Socket::SendFile - a length 1001 points beyond file size");
  }
  char c;
  size_t n = 1;
  EXPECT_FALSE(server_->Receive(&c, &n, KzTimeout(0u)));  // nothing was sent
  EXPECT_THROW(client_->SendFile(dir_.file("none"), 0, 1, kWait), korza::base::KzSystemError);
  EXPECT_THROW(client_->SendFromFileHandle(-1, 0, 1, kWait), korza::base::KzException);
}

TEST_F(SocketTest, TcpLoopbackAndRefusedConnect) {
  KzIpcPtr l = listen("inet:0@127.0.0.1");
  auto bound = std::dynamic_pointer_cast<KzSocket>(l)->GetLocalSocketAddress();
  const std::string port = bound->GetSpec().substr(bound->GetSpec().rfind(':') + 1);
  connectPair(l, "inet:" + port + "@127.0.0.1");
  EXPECT_NE(server_->Text().find(", client->inet:127.0.0.1:"), std::string::npos);
  ASSERT_TRUE(server_->Send("pong", kWait));
  std::string got(4, '\0');
  ASSERT_TRUE(client_->Receive(&got, kWait));
  EXPECT_EQ(got, "pong");

  KzIpcPtr nobody = KzIpcFactory::Instance().Create("*", "local:" + dir_.file("none"));
  EXPECT_THROW(nobody->Connect(kWait), korza::base::KzSystemError);
  KzIpcPtr closed = KzIpcFactory::Instance().Create("*", unixSpec());
  char c;
  size_t n = 1;
  EXPECT_THROW(closed->Receive(&c, &n, kWait), korza::base::KzIpcErrorClosed);
}

}  // namespace
