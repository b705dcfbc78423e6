#include "ipc/kz_address.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>

#include "base/kz_exception.h"
#include "ipc/kz_factory.h"
#include "ipc/kz_socket.h"
#include "tests/ipc/ipc_test_support.h"
#include "tests/support/sandbox.h"

namespace {

using namespace korza::ipc;

KzIpcFactory& factory() { return KzIpcFactory::Instance(); }

TEST(KzAddress, UnixForms) {
  kztest::LogCapture log;
  auto empty = factory().CreateAddress("local:");
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->GetDomain(), 1);
  EXPECT_EQ(dynamic_cast<KzUnixSocketAddress&>(*empty).path(), "");

  auto a = factory().CreateAddress("unix:/tmp/s");
  auto b = factory().CreateAddress("local:/tmp/s");
  ASSERT_TRUE(a && b);
  EXPECT_TRUE(a->Equals(*b));
  a->Rebuild();
  EXPECT_EQ(a->GetSpec(), "local:/tmp/s");

  KzUnixSocketAddress blank(" local:/tmp/s");
  EXPECT_FALSE(blank.Parse());
  EXPECT_EQ(blank.GetDomain(), 0);
  EXPECT_TRUE(log.contains(
      "UnixSocketAddress::Parse( local:/tmp/s) failed - specifiers 'unix:' or 'local:' were not "
      "found"));
  EXPECT_FALSE(factory().CreateAddress("LOCAL:/tmp/s"));
  EXPECT_FALSE(factory().CreateAddress("*"));
  EXPECT_FALSE(factory().CreateAddress(""));
}

TEST(KzAddress, InetFormsAndResolverFailures) {
  kztest::LogCapture log;
  auto a = factory().CreateAddress("inet:3000@127.0.0.1");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->GetDomain(), 2);
  EXPECT_EQ(a->SockAddrLen(), 16u);
  EXPECT_TRUE(log.contains("InetSocket::Resolve(127.0.0.1) done to 127.0.0.1:3000"));
  auto v6 = factory().CreateAddress("inet:3000@::1");
  ASSERT_TRUE(v6);
  EXPECT_EQ(v6->SockAddrLen(), 28u);
  // A service name is a port too.
  auto named = std::make_shared<KzInetSocketAddress>("inet:ssh@127.0.0.1");
  if (named->Parse()) {
    named->Rebuild();
    EXPECT_EQ(named->GetSpec(), "inet:127.0.0.1:22");
  }

  EXPECT_FALSE(factory().CreateAddress("inet:3000"));
  EXPECT_TRUE(log.contains("inet parser (inet:3000) failed - separator '@' was not found"));
  EXPECT_FALSE(factory().CreateAddress("inet:@localhost"));
  EXPECT_TRUE(log.contains("can`t resolve port number : "));
  EXPECT_TRUE(log.contains("inet parser (inet:@localhost) failed - cannot get port from "));
  EXPECT_FALSE(factory().CreateAddress("inet:no-such-service-kz@127.0.0.1"));
  EXPECT_TRUE(log.contains("cannot get port from no-such-service-kz"));
  EXPECT_FALSE(factory().CreateAddress("inet:3000@no-such-host.invalid"));
  EXPECT_TRUE(log.contains("resolve (no-such-host.invalid) failed: "));
  EXPECT_TRUE(
      log.contains("inet parser (inet:3000@no-such-host.invalid) failed - cannot get host from "
                   "no-such-host.invalid"));
  try {
    factory().CreateAddress("inet:3000@bad host");
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "wrong host name 'bad host'");
  }
}

TEST(KzIpcFactory, ChannelsAndLoggedFailures) {
  kztest::LogCapture log;
  auto server = factory().Create("local:/tmp/kz-x", "*");
  ASSERT_TRUE(server);
  EXPECT_TRUE(server->IsListening());
  EXPECT_EQ(server->Text(), "a listening connection (fd->invalid, local->local:/tmp/kz-x)");
  auto client = factory().Create("", "inet:3000@127.0.0.1");
  ASSERT_TRUE(client);
  EXPECT_EQ(client->Text(), "connection (fd->invalid, server->inet:3000@127.0.0.1)");
  // Each channel owns its own copy of the address.
  auto address = factory().CreateAddress("local:/tmp/kz-y");
  auto copy = factory().Create(address, nullptr);
  ASSERT_TRUE(copy);
  EXPECT_NE(copy->GetLocalAddress().get(), address.get());

  EXPECT_FALSE(factory().Create("*", ""));
  EXPECT_TRUE(log.contains(
      "IPC factory: local and remote addresses: the 'not defined' parameter is invalid"));
  EXPECT_FALSE(factory().Create("local:/tmp/a", "inet:3000@127.0.0.1"));
  EXPECT_TRUE(
      log.contains("IPC factory: local and remote address have different protocols families"));
  EXPECT_TRUE(log.contains("IPC factory: creating ipc by spec { local=*, remote= }"));
}

TEST(KzAddressList, PidFilesAndPlainEntries) {
  kztest::TempDir dir;
  const std::string pid = dir.file("agent.pid");
  kztest::writeFile(pid, "1234\n127.0.0.1:3000\n/var/korza/ipc/.agent\n");
  const KzAddressList list =
      ResolveAddressList({"local:/tmp/first", " PID :" + pid, "inet:3001@127.0.0.1"});
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list[0]->GetSpec(), "local:/tmp/first");
  EXPECT_EQ(list[1]->GetSpec(), "inet:3000@127.0.0.1");
  EXPECT_EQ(list[2]->GetSpec(), "local:/var/korza/ipc/.agent");
  EXPECT_EQ(list[3]->GetSpec(), "inet:3001@127.0.0.1");

  kztest::writeFile(pid, "1234\n");
  try {
    ResolveAddressList({"pid:" + pid});
    FAIL();
  } catch (const korza::base::KzException& e) {
    const std::string text = e.what();
    EXPECT_EQ(text.rfind("Error during load and parse pid file '" + pid + "'", 0), 0u);
    EXPECT_NE(text.find("Can not find any address in pid file '" + pid + "'"), std::string::npos);
  }
  try {
    ResolveAddressList({"pid:" + dir.file("missing.pid")});
    FAIL();
  } catch (const korza::base::KzException& e) {
    EXPECT_NE(
        std::string(e.what()).find("can not open file for reading: " + dir.file("missing.pid")),
        std::string::npos);
  }
  kztest::writeFile(pid, "");
  EXPECT_THROW(ResolveAddressList({"pid:" + pid}), korza::base::KzException);

  kztest::LogCapture log;
  try {
    ResolveAddressList({"nonsense"});
    FAIL();
  } catch (const korza::base::KzParameterError& e) {
    EXPECT_STREQ(e.what(),
                 "Session::Open: the 'address' parameter contains invalid value 'nonsense'");
  }
  EXPECT_TRUE(log.contains("can`t create incorrect address: nonsense"));
}

}  // namespace

namespace {

// The mode of a socket file is never set through a link in its place.
TEST(KzUnixSocket, ModeIsNeverSetThroughALink) {
  kztest::TempDir dir;
  const std::string victim = dir.file("victim");
  kztest::writeFile(victim, "");
  ASSERT_EQ(chmod(victim.c_str(), 0600), 0);
  const std::string path = dir.file("sock");
  ASSERT_EQ(symlink(victim.c_str(), path.c_str()), 0);
  auto channel = factory().Create("local:" + path, "*");
  auto* unix_socket = dynamic_cast<korza::ipc::KzUnixSocket*>(channel.get());
  ASSERT_NE(unix_socket, nullptr);
  kztest::LogCapture log;
  EXPECT_THROW(unix_socket->ChMod(0777), korza::base::KzSystemError);
  struct stat st;
  ASSERT_EQ(stat(victim.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

}  // namespace
