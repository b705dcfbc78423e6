#include "ipc/kz_address.h"

#include <stdexcept>

#include "tests/ipc/ipc_test_support.h"

namespace {

using namespace korza::ipc;
using kztest::errorOf;

KzIpcFactory& factory() { return KzIpcFactory::Instance(); }

TEST(KzAddress, UnixFormsAndFactoryFailures) {
  kztest::LogCapture log;
  auto a = factory().CreateAddress("unix:/tmp/s");
  auto b = factory().CreateAddress("local:/tmp/s");
  ASSERT_TRUE(a && b);
  EXPECT_TRUE(a->Equals(*b));
  a->Rebuild();
  EXPECT_EQ(a->GetSpec(), "local:/tmp/s");
  for (const char* bad : {" local:/tmp/s", "LOCAL:/tmp/s", "*", ""}) {
    EXPECT_FALSE(factory().CreateAddress(bad)) << bad;
  }
  EXPECT_TRUE(log.contains(
      "UnixSocketAddress::Parse( local:/tmp/s) failed - specifiers 'unix:' or 'local:' were not "
      "found"));
  EXPECT_TRUE(factory().Create("local:/tmp/kz-x", "*")->IsListening());
  EXPECT_FALSE(factory().Create("", "inet:3000@127.0.0.1")->IsListening());
  EXPECT_FALSE(factory().Create("*", ""));
  EXPECT_TRUE(log.contains(
      "IPC factory: local and remote addresses: the 'not defined' parameter is invalid"));
  EXPECT_FALSE(factory().Create("local:/tmp/a", "inet:3000@127.0.0.1"));
  EXPECT_TRUE(
      log.contains("IPC factory: local and remote address have different protocols families"));
}

TEST(KzAddress, InetFormsAndResolverFailures) {
  kztest::LogCapture log;
  auto a = factory().CreateAddress("inet:3000@127.0.0.1");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->SockAddrLen(), 16u);
  EXPECT_TRUE(log.contains("InetSocket::Resolve(127.0.0.1) done to 127.0.0.1:3000"));
  auto v6 = factory().CreateAddress("inet:3000@::1");
  ASSERT_TRUE(v6);
  EXPECT_EQ(v6->SockAddrLen(), 28u);
  const struct {
    const char* spec;
    const char* logged;
  } bad[] = {
      {"inet:3000", "inet parser (inet:3000) failed - separator '@' was not found"},
      {"inet:@localhost", "inet parser (inet:@localhost) failed - cannot get port from "},
      {"inet:no-such-service-kz@127.0.0.1", "cannot get port from no-such-service-kz"},
      {"inet:3000@no-such-host.invalid",
       "inet parser (inet:3000@no-such-host.invalid) failed - cannot get host from "
       "no-such-host.invalid"},
  };
  for (const auto& c : bad) {
    EXPECT_FALSE(factory().CreateAddress(c.spec)) << c.spec;
    EXPECT_TRUE(log.contains(c.logged)) << c.logged;
  }
  EXPECT_EQ(errorOf<std::invalid_argument>([] { factory().CreateAddress("inet:3000@bad host"); }),
            "wrong host name 'bad host'");
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

  const auto resolveError = [](const std::string& entry) {
    return errorOf<korza::base::KzException>([&] { ResolveAddressList({entry}); });
  };
  const std::string prefix = "Error during load and parse pid file '" + pid + "': ";
  kztest::writeFile(pid, "1234\n");
  EXPECT_EQ(resolveError("pid:" + pid),
            prefix + "Can not find any address in pid file '" + pid + "'");
  kztest::writeFile(pid, "");
  EXPECT_EQ(resolveError("pid:" + pid), prefix + "can not find pid number");
  const std::string missing = dir.file("missing.pid");
  EXPECT_EQ(resolveError("pid:" + missing), "Error during load and parse pid file '" + missing +
                                                "': can not open file for reading: " + missing);
  EXPECT_EQ(resolveError("nonsense"),
            "Session::Open: the 'address' parameter contains invalid value 'nonsense'");
}

}  // namespace
