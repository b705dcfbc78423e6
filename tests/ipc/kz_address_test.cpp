#include "ipc/kz_address.h"

#include <stdexcept>

#include "tests/ipc/ipc_test_support.h"

namespace {

using namespace korza::ipc;
using kztest::errorOf;

KzIpcFactory& factory() { return KzIpcFactory::Instance(); }

// The address forms themselves are exercised through the daemon (unix:,
// local:, inet: and pid: forms of AgentAddress); here the refusals.
TEST(KzAddress, BadSpecsAreRefusedWithTheReasonLogged) {
  kztest::LogCapture log;
  auto a = factory().CreateAddress("unix:/tmp/s");
  ASSERT_TRUE(a);
  EXPECT_TRUE(a->Equals(*factory().CreateAddress("local:/tmp/s")));
  a->Rebuild();
  EXPECT_EQ(a->GetSpec(), "local:/tmp/s");
  EXPECT_EQ(factory().CreateAddress("inet:3000@::1")->SockAddrLen(), 28u);
  const struct {
    const char* spec;
    const char* logged;
  } bad[] = {
      {" local:/tmp/s",
       "UnixSocketAddress::Parse( local:/tmp/s) failed - specifiers 'unix:' or "
       "'local:' were not found"},
      {"LOCAL:/tmp/s", "UnixSocketAddress::Parse(LOCAL:/tmp/s) failed"},
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
  EXPECT_FALSE(factory().Create("*", ""));
  EXPECT_TRUE(log.contains(
      "IPC factory: local and remote addresses: the 'not defined' parameter is invalid"));
  EXPECT_FALSE(factory().Create("local:/tmp/a", "inet:3000@127.0.0.1"));
  EXPECT_TRUE(
      log.contains("IPC factory: local and remote address have different protocols families"));
}

TEST(KzAddressList, PidFilesAndPlainEntries) {
  kztest::TempDir dir;
  const std::string pid = dir.file("agent.pid");
  kztest::writeFile(pid, "1234\n127.0.0.1:3000\n/var/korza/ipc/.agent\n");
  const KzAddressList list = ResolveAddressList({"local:/tmp/first", " PID :" + pid});
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[1]->GetSpec(), "inet:3000@127.0.0.1");
  EXPECT_EQ(list[2]->GetSpec(), "local:/var/korza/ipc/.agent");

  const auto resolveError = [](const std::string& entry) {
    return errorOf<korza::base::KzException>([&] { ResolveAddressList({entry}); });
  };
  const std::string prefix = "Error during load and parse pid file '" + pid + "': ";
  const std::pair<std::string, std::string> broken[] = {
      {"1234\n", "Can not find any address in pid file '" + pid + "'"},
      {"", "can not find pid number"},
  };
  for (const auto& [text, why] : broken) {
    kztest::writeFile(pid, text);
    EXPECT_EQ(resolveError("pid:" + pid), prefix + why);
  }
  EXPECT_EQ(resolveError("nonsense"),
            "Session::Open: the 'address' parameter contains invalid value 'nonsense'");
}

}  // namespace
