// The configuration and application-report protocols through real sessions
// over a Unix socket, both sides from the library.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "base/kz_exception.h"
#include "ipc/kz_app_proto.h"
#include "ipc/kz_config_proto.h"
#include "ipc/kz_session.h"
#include "tests/ipc/ipc_test_support.h"
#include "tests/support/process_runner.h"
#include "tests/support/sandbox.h"

namespace {

using namespace korza::ipc;
using namespace korza::postd;
using korza::base::KzTimeout;

const KzTimeout kCall(5000u);

class ProtoTest : public ::testing::Test {
 protected:
  // Serves `protocols` until the fixture ends; opens the client.
  void serve(const std::vector<std::shared_ptr<KzServerProtocol>>& protocols) {
    auto pool = std::make_shared<KzPersistentServerPoolManager>(ConnSettings(0, 8));
    pool->SetMaintenanceTimeout(KzTimeout(50u));
    server_.reset(new KzServerSession(pool));
    for (const auto& p : protocols) server_->Register(p);
    server_->Open(spec());
    serving_ = std::thread([this] {
      while (!stop_) {
        try {
          server_->Execute(KzTimeout(50u));
        } catch (const std::exception&) {
        }
      }
    });
    client_pool_ = std::make_shared<KzPersistentClientPoolManager>(ConnSettings(1, 2));
    client_.reset(new KzClientSession(client_pool_));
    client_->Open(spec());
  }
  void TearDown() override {
    stop_ = true;
    if (serving_.joinable()) serving_.join();
    client_.reset();
    server_.reset();
  }
  std::string spec() const { return "local:" + dir_.file("agent"); }
  std::shared_ptr<KzConfigServer> configServer(int code = 1) {
    return std::make_shared<KzConfigServer>(
        [this, code](const ConfigRequester& w, ConfigValues& values) {
          who_ = w;
          values = answer_;
          return code == 1;
        });
  }

  kztest::TempDir dir_;
  std::unique_ptr<KzServerSession> server_;
  std::shared_ptr<KzPersistentClientPoolManager> client_pool_;
  std::unique_ptr<KzClientSession> client_;
  std::atomic<bool> stop_{false};
  std::thread serving_;
  ConfigRequester who_;
  ConfigValues answer_;
};

std::string errorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const korza::base::KzException& e) {
    return e.what();
  }
  return "no error";
}

TEST_F(ProtoTest, ConfigurationRoundTripAndGetValue) {
  answer_ = {{"monitor/runapplist", "A,B"}, {"notifier/adminmail", ""}};
  serve({configServer()});
  for (bool alternative : {false, true}) {
    auto client = std::make_shared<KzConfigClient>(44, "korza-monitor", 0, alternative);
    ASSERT_TRUE(client_->Execute(client, kCall));
    EXPECT_EQ(who_.type, alternative ? 3 : 1);
    EXPECT_EQ(client->ResponseCode(), 1);
    EXPECT_EQ(client->Values(), answer_);
  }
  EXPECT_EQ(who_.component, 44);
  EXPECT_EQ(who_.name, "korza-monitor");
  EXPECT_EQ(who_.pid, getpid());
  EXPECT_EQ(who_.remote.compare(0, 6, "local:"), 0) << who_.remote;

  auto shared = std::make_shared<KzConfigClient>(44, "x", 7);
  ASSERT_TRUE(client_->Execute(shared, kCall));
  EXPECT_EQ(who_.pid, 7);
  EXPECT_EQ(shared->GetValue("monitor/runapplist"), "A,B");
  kztest::LogCapture log;
  EXPECT_EQ(errorOf([&] { shared->GetValue("notifier/adminmail"); }),
            "ConfigClient::GetValue(notifier/adminmail) error - value doesn't defined");
  EXPECT_EQ(errorOf([&] { shared->GetValue("nope"); }),
            "ConfigClient::GetValue(nope) error - unknown parameter");
  EXPECT_TRUE(log.contains("ConfigClient::GetValue(notifier/adminmail) - undefined value"));
  EXPECT_TRUE(log.contains("ConfigClient::GetValue(nope) - unknown parameter"));

  // No pairs at all is a success in which every name is unknown.
  answer_.clear();
  ASSERT_TRUE(client_->Execute(shared, kCall));
  EXPECT_TRUE(shared->Values().empty());
  EXPECT_EQ(errorOf([&] { shared->GetValue("monitor/runapplist"); }),
            "ConfigClient::GetValue(monitor/runapplist) error - unknown parameter");
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
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    type = c.type;
    code = c.code;
    kztest::LogCapture log;
    if (c.store) {
      EXPECT_FALSE(client_->Execute(store, kCall));
      EXPECT_EQ(store->LastError(), c.error);
    } else {
      EXPECT_FALSE(client_->Execute(config, kCall));
      EXPECT_EQ(config->LastError(), c.error);
      EXPECT_TRUE(config->Values().empty());
    }
    EXPECT_TRUE(log.contains(std::string("in parse client response: ") + c.error));
  }
  type = 2;
  code = 1;
  EXPECT_TRUE(client_->Execute(config, kCall));
  EXPECT_TRUE(client_->Execute(store, kCall));
}

TEST_F(ProtoTest, ServerRefusesBadRequestTypeAndEmptyHandler) {
  serve({configServer(), std::make_shared<KzConfigStoreServer>(nullptr)});
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
  auto store = std::make_shared<KzConfigStoreClient>(44, "x", 0, ConfigValues{{"a", "1"}});
  EXPECT_FALSE(client_->Execute(store, kCall));
  ASSERT_TRUE(kztest::waitFor(
      [&] { return log.contains("in build response to client: call to empty boost::function"); }));
}

// The reports and the store request keep their wire order, and one
// connection carries the configuration request and both reports.
TEST_F(ProtoTest, ApplicationReportsShareOneConnectionWithConfiguration) {
  std::vector<std::string> seen;
  std::mutex m;
  auto add = [&](const std::string& s) {
    std::lock_guard<std::mutex> lock(m);
    seen.push_back(s);
  };
  serve({configServer(),
         std::make_shared<KzFunctionServerProtocol>(KzStartAppClient::kId,
                                                    [&](KzPDU& request, KzPDU&) {
                                                      std::string s = request.GetString();
                                                      s += "|" + std::to_string(request.GetInt32());
                                                      s += "|" + request.GetString();
                                                      s += "|" + request.GetString();
                                                      add(s);
                                                      return true;
                                                    }),
         std::make_shared<KzStopAppServer>(
             [&](const std::string& peer, const std::string& name, int32_t pid) {
               add("stop " + name + "|" + std::to_string(pid) + "|" + peer.substr(0, 6));
             }),
         std::make_shared<KzConfigStoreServer>(
             [&](const ConfigRequester& w, const ConfigValues& settings) {
               add("store " + w.name + "|" + std::to_string(w.pid) + "|" + settings.begin()->first +
                   "|" + std::to_string(settings.size()));
               return true;
             })});
  ASSERT_TRUE(client_->Execute(std::make_shared<KzConfigClient>(44, "korza-monitor"), kCall));
  ASSERT_TRUE(
      client_->Execute(std::make_shared<KzStartAppClient>("POSTD", "a:b,c:d", "--x 1", 42), kCall));
  ASSERT_TRUE(client_->Execute(std::make_shared<KzStopAppClient>("POSTD", 42), kCall));
  ASSERT_TRUE(client_->Execute(
      std::make_shared<KzConfigStoreClient>(44, "m", 9, ConfigValues{{"b", "2"}, {"a", ""}}),
      kCall));
  ASSERT_TRUE(kztest::waitFor([&] {
    std::lock_guard<std::mutex> lock(m);
    return seen.size() == 3;
  }));
  EXPECT_EQ(seen, (std::vector<std::string>{"POSTD|42|a:b,c:d|--x 1",
                                            "stop POSTD|42|local:", "store m|9|a|2"}));
  EXPECT_EQ(client_pool_->Statistics().total_created, 1u);
}

}  // namespace
