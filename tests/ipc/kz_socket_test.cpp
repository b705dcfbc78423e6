#include "ipc/kz_socket.h"

#include <sys/stat.h>
#include <unistd.h>

#include "tests/ipc/ipc_test_support.h"

namespace {

using namespace korza::ipc;
using korza::base::KzTimeout;
using kztest::errorOf;

const KzTimeout kWait(5000u);

class SocketTest : public ::testing::Test {
 protected:
  // A listening channel at `spec`, created and listening.
  KzIpcPtr listen(const std::string& spec) {
    KzIpcPtr l = KzIpcFactory::Instance().Create(spec, "*");
    l->Create();
    l->Listen(8);
    return l;
  }
  // Connects a client to `spec` and accepts it on `l`.
  void connectPair(const KzIpcPtr& l, const std::string& spec) {
    client_ = KzIpcFactory::Instance().Create("*", spec);
    ASSERT_TRUE(client_ && client_->Connect(kWait));
    server_ = l->Accept(kWait);
    ASSERT_TRUE(server_);
  }
  std::string unixSpec() const { return "local:" + dir_.file("s"); }

  kztest::TempDir dir_;
  KzIpcPtr client_;
  KzIpcPtr server_;
};

TEST_F(SocketTest, UnixTextFormModePartialReceiveAndPeerClosing) {
  KzIpcPtr l = listen(unixSpec());
  struct stat st;
  ASSERT_EQ(stat(dir_.file("s").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0770u);
  connectPair(l, unixSpec());
  EXPECT_EQ(server_->Text(), "connection (fd->" + std::to_string(server_->GetHandle()) +
                                 ", local->" + unixSpec() + ", client->local:)");
  EXPECT_EQ(l->Text(), "a listening connection (fd->" + std::to_string(l->GetHandle()) +
                           ", local->" + unixSpec() + ")");
  char buf[4];
  // Two of four bytes arrive: the call still times out and says how many came.
  ASSERT_TRUE(client_->Send("ab", kWait));
  size_t n = sizeof buf;
  EXPECT_FALSE(server_->Receive(buf, &n, KzTimeout(50u)));
  EXPECT_EQ(n, 2u);
  // The peer closing in the middle of a message: what came is counted.
  ASSERT_TRUE(client_->Send("c", kWait));
  client_->Close();
  n = sizeof buf;
  EXPECT_EQ(errorOf<korza::base::KzIpcErrorClosedByPeer>([&] { server_->Receive(buf, &n, kWait); }),
            "Socket::Receive " + server_->Text() + "- closed by peer");
  EXPECT_EQ(n, 1u);
}

TEST_F(SocketTest, LargeTransfersProgressThroughPartialSends) {
  KzIpcPtr l = listen(unixSpec());
  connectPair(l, unixSpec());
  std::string data(size_t{4} * 1024 * 1024, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 4096);
  bool sent = false;
  std::thread writer([&] { sent = client_->Send(data, KzTimeout(20000u)); });
  std::string got(data.size(), '\0');
  const bool received = server_->Receive(&got, KzTimeout(20000u));
  writer.join();
  EXPECT_TRUE(sent && received);
  EXPECT_TRUE(got == data);
}

TEST_F(SocketTest, StaleSocketIsReboundLiveOneAndRegularFileRefused) {
  // Closing removes the socket file the channel bound, but not a file that
  // took its place since.
  listen(unixSpec())->Close();
  EXPECT_FALSE(kztest::fileExists(dir_.file("s")));
  KzIpcPtr replaced = listen(unixSpec());
  ASSERT_EQ(unlink(dir_.file("s").c_str()), 0);
  close(kztest::unixSocket(dir_.file("s"), false));  // as a crash leaves it
  replaced->Close();
  ASSERT_TRUE(kztest::fileExists(dir_.file("s")));
  kztest::LogCapture log;
  KzIpcPtr l = listen(unixSpec());
  EXPECT_TRUE(log.contains("UnixSocket::Create " + l->Text() +
                           " stalled socket has been removed and binded"));
  KzIpcPtr second = KzIpcFactory::Instance().Create(unixSpec(), "*");
  EXPECT_EQ(errorOf<korza::base::KzSystemError>([&] {
              second->Create();
            }).rfind("unix-socket create failed: ", 0),
            0u);
  EXPECT_TRUE(log.contains("successfully connected so somebody uses this socket"));
  connectPair(l, unixSpec());  // the live server still works

  kztest::writeFile(dir_.file("f"), "data");
  KzIpcPtr file = KzIpcFactory::Instance().Create("local:" + dir_.file("f"), "*");
  EXPECT_THROW(file->Create(), korza::base::KzSystemError);
  EXPECT_EQ(kztest::readFile(dir_.file("f")), "data");
}

// A client names its own socket path; it reaches log lines escaped.
TEST_F(SocketTest, AClientChosenPathCannotBreakALogLine) {
  KzIpcPtr l = listen(unixSpec());
  const int fd = kztest::unixSocket(dir_.file("c\nALERT forged"), false, dir_.file("s"));
  ASSERT_GE(fd, 0);
  KzIpcPtr accepted = l->Accept(kWait);
  ASSERT_TRUE(accepted);
  EXPECT_EQ(accepted->Text().find('\n'), std::string::npos);
  EXPECT_NE(accepted->Text().find("c\\nALERT forged"), std::string::npos);
  close(fd);
}

// The mode of a socket file is never set through a link in its place.
TEST_F(SocketTest, ModeIsNeverSetThroughALink) {
  const std::string victim = dir_.file("victim");
  kztest::writeFile(victim, "", 0600);
  ASSERT_EQ(symlink(victim.c_str(), dir_.file("s").c_str()), 0);
  auto channel = KzIpcFactory::Instance().Create(unixSpec(), "*");
  EXPECT_THROW(dynamic_cast<KzUnixSocket&>(*channel).ChMod(0777), korza::base::KzSystemError);
  struct stat st;
  ASSERT_EQ(stat(victim.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

// The accepted side of a TCP connection names its peer.
TEST_F(SocketTest, TcpLoopbackNamesThePeer) {
  KzIpcPtr l = listen("inet:0@127.0.0.1");
  const std::string bound =
      std::dynamic_pointer_cast<KzSocket>(l)->GetLocalSocketAddress()->GetSpec();
  ASSERT_NO_FATAL_FAILURE(
      connectPair(l, "inet:" + bound.substr(bound.rfind(':') + 1) + "@127.0.0.1"));
  EXPECT_THAT(server_->Text(), HasSubstr(", client->inet:127.0.0.1:"));
}

}  // namespace
