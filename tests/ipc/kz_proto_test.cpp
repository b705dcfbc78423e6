// The control, configuration and status protocols: wire
// layouts, and real sessions over a Unix socket with both sides from the library.
#include <unistd.h>

#include "ipc/kz_config_proto.h"
#include "ipc/kz_control_proto.h"
#include "ipc/kz_status_proto.h"
#include "tests/ipc/ipc_test_support.h"

namespace {

using namespace korza::ipc;
using namespace korza::postd;
using korza::base::KzTimeout;
using kztest::bytes;
using kztest::errorOf;

const KzTimeout kCall(5000u);

class ProtoTest : public kztest::SessionFixture {
 protected:
  std::shared_ptr<KzConfigServer> configServer() {
    return std::make_shared<KzConfigServer>([this](const ConfigRequester& w, ConfigValues& values) {
      who_ = w;
      values = answer_;
      return true;
    });
  }
  ConfigRequester who_;
  ConfigValues answer_;
};

TEST_F(ProtoTest, ConfigurationRoundTripGetValueAndBadRequestType) {
  answer_ = {{"monitor/runapplist", "A,B"}, {"notifier/adminmail", ""}};
  serve({configServer()});
  openClient();
  for (bool alternative : {false, true}) {
    auto client = std::make_shared<KzConfigClient>(44, "korza-monitor", 0, alternative);
    ASSERT_TRUE(client_->Execute(client, kCall));
    EXPECT_EQ(who_.type, alternative ? 3 : 1);
    EXPECT_EQ(client->Values(), answer_);
  }
  EXPECT_EQ(who_.component, 44);
  EXPECT_EQ(who_.name, "korza-monitor");
  EXPECT_EQ(who_.pid, getpid());

  auto shared = std::make_shared<KzConfigClient>(44, "x", 7);
  ASSERT_TRUE(client_->Execute(shared, kCall));
  EXPECT_EQ(who_.pid, 7);
  EXPECT_EQ(shared->GetValue("monitor/runapplist"), "A,B");
  EXPECT_EQ(errorOf([&] { shared->GetValue("notifier/adminmail"); }),
            "ConfigClient::GetValue(notifier/adminmail) error - value doesn't defined");
  EXPECT_EQ(errorOf([&] { shared->GetValue("nope"); }),
            "ConfigClient::GetValue(nope) error - unknown parameter");

  kztest::LogCapture log;
  auto type2 = std::make_shared<KzFunctionClientProtocol>(
      KzConfigClient::kId,
      [](KzPDU& request) {
        return request.AddInt32(2) && request.AddInt32(44) && request.AddString("x") &&
               request.AddInt32(1);
      },
      [](KzPDU& response) { return response.GetInt32() == 2; });
  EXPECT_FALSE(client_->Execute(type2, kCall));
  ASSERT_TRUE(kztest::waitFor([&] {
    return log.contains("in build response to client: ConfigServer::invalid request type ->2");
  }));
}

// Bad answers make the client call fail with the logged reason.
TEST_F(ProtoTest, ClientsRefuseFailureCodesAndWrongResponseTypes) {
  std::atomic<int> type{2}, code{1};
  // Servers that read a request and answer with `type` and `code`.
  auto answer = [&](uint32_t id, int ints_before, int ints_after) {
    return std::make_shared<KzFunctionServerProtocol>(
        id, [&type, &code, id, ints_before, ints_after](KzPDU& request, KzPDU& response) {
          for (int i = 0; i < ints_before; ++i) request.GetInt32();
          request.GetString();
          for (int i = 0; i < ints_after; ++i) request.GetInt32();
          return response.AddInt32(type) && response.AddInt32(code) &&
                 (id == KzConfigStoreClient::kId || response.AddInt32(0));
        });
  };
  serve({answer(KzConfigClient::kId, 2, 1), answer(KzConfigStoreClient::kId, 1, 2)});
  openClient();
  auto config = std::make_shared<KzConfigClient>(44, "korza-monitor");
  auto store = std::make_shared<KzConfigStoreClient>(44, "korza-monitor", 0, ConfigValues{});
  const struct {
    int type, code;
    bool store;
    const char* error;
  } cases[] = {
      {2, 2, false, "ConfigClient::ParseResponse - invalid response code"},
      {7, 1, false, "ConfigClient::invalid response type ->7"},
      {2, 2, true, "ConfigStoreClient::ParseResponse - invalid response code"},
      {5, 1, true, "ConfigStoreClient::invalid response type ->5"},
      {2, 1, false, ""},
      {2, 1, true, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    type = c.type;
    code = c.code;
    kztest::LogCapture log;
    const bool ok = c.store ? client_->Execute(store, kCall) : client_->Execute(config, kCall);
    EXPECT_EQ(ok, !*c.error);
    EXPECT_EQ(c.store ? store->LastError() : config->LastError(), c.error);
    EXPECT_TRUE(!*c.error || log.contains(std::string("in parse client response: ") + c.error));
  }
}

TEST(ControlProtocolWire, RequestsByteForByte) {
  KzDdpUnit unit;
  KzReloadCompClient reload({7, 258});
  ASSERT_TRUE(reload.BuildRequest(unit));
  EXPECT_EQ(unit.GetData(), bytes({0, 0, 0, 2, 0, 0, 0, 7, 0, 0, 1, 2}));
  EXPECT_EQ(reload.GetID(), 0x2008u);
  unit.Clear();
  KzUpdateClient update("/d", "", "p");
  ASSERT_TRUE(update.BuildRequest(unit));
  EXPECT_EQ(unit.GetData(), bytes({0, 0, 0, 2, '/', 'd', 0, 0, 0, 0, 0, 0, 0, 1, 'p'}));
  EXPECT_EQ(update.GetID(), 0x200Cu);
}

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

// The wire form of a snapshot, to compare two snapshots field by field.
std::string wire(const StatusSnapshot& s) {
  KzDdpUnit unit;
  PutStatus(unit, s, 0);
  return unit.GetData();
}

TEST_F(ProtoTest, StatusSnapshotSurvivesTheRoundTripThroughASession) {
  const StatusSnapshotPtr published = std::make_shared<StatusSnapshot>(sample());
  std::atomic<bool> published_yet{true};
  serve({std::make_shared<KzStatusServer>(
      [&] { return published_yet ? published : StatusSnapshotPtr(); })});
  openClient(0, 1);
  auto call = std::make_shared<KzStatusClient>();
  ASSERT_TRUE(client_->process(call, KzTimeout(5000u)));
  ASSERT_TRUE(call->answered());
  EXPECT_EQ(wire(call->GetResult()), wire(*published));
  EXPECT_GE(call->serverTime(), published->time);
  // No snapshot yet: the exchange fails, and the client says so.
  published_yet = false;
  auto none = std::make_shared<KzStatusClient>();
  EXPECT_FALSE(client_->process(none, KzTimeout(5000u)));
  EXPECT_FALSE(none->answered());
}

}  // namespace
