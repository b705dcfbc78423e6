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
TEST_F(ProtoTest, ClientRefusesFailureCodesAndWrongResponseTypes) {
  answer_ = {{"k", "v"}};
  // A store server that answers with response type 5.
  auto wrong_type = std::make_shared<KzFunctionServerProtocol>(
      KzConfigStoreClient::kId, [](KzPDU& request, KzPDU& response) {
        request.GetInt32();
        request.GetString();
        request.GetInt32();
        request.GetInt32();
        return response.AddInt32(5) && response.AddInt32(1);
      });
  std::atomic<int> config_code{2};
  serve({std::make_shared<KzConfigServer>([&](const ConfigRequester&, ConfigValues& values) {
           values = answer_;
           return config_code == 1;
         }),
         wrong_type});
  kztest::LogCapture log;
  auto client = std::make_shared<KzConfigClient>(44, "korza-monitor");
  EXPECT_FALSE(client_->Execute(client, kCall));
  EXPECT_EQ(client->ResponseCode(), 2);
  EXPECT_TRUE(client->Values().empty());
  EXPECT_EQ(client->LastError(), "ConfigClient::ParseResponse - invalid response code");
  EXPECT_TRUE(log.contains(
      "in parse client response: ConfigClient::ParseResponse - invalid response code"));

  auto store = std::make_shared<KzConfigStoreClient>(44, "korza-monitor", 0, ConfigValues{});
  EXPECT_FALSE(client_->Execute(store, kCall));
  EXPECT_EQ(store->LastError(), "ConfigStoreClient::invalid response type ->5");
  // The connection stays usable for the next exchange of another protocol.
  config_code = 1;
  EXPECT_TRUE(client_->Execute(client, kCall));
}

TEST_F(ProtoTest, ConfigClientRefusesWrongResponseType) {
  serve({std::make_shared<KzFunctionServerProtocol>(KzConfigClient::kId,
                                                    [](KzPDU& request, KzPDU& response) {
                                                      request.GetInt32();
                                                      request.GetInt32();
                                                      request.GetString();
                                                      request.GetInt32();
                                                      return response.AddInt32(7);
                                                    })});
  auto client = std::make_shared<KzConfigClient>(44, "korza-monitor");
  EXPECT_FALSE(client_->Execute(client, kCall));
  EXPECT_EQ(client->LastError(), "ConfigClient::invalid response type ->7");
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

TEST_F(ProtoTest, StoreRoundTrip) {
  ConfigRequester who;
  ConfigValues got;
  std::atomic<bool> accept{true};
  serve({std::make_shared<KzConfigStoreServer>(
      [&](const ConfigRequester& w, const ConfigValues& settings) {
        who = w;
        got = settings;
        return accept.load();
      })});
  const ConfigValues sent{{"b", "2"}, {"a", ""}};
  auto store = std::make_shared<KzConfigStoreClient>(44, "korza-monitor", 9, sent);
  ASSERT_TRUE(client_->Execute(store, kCall));
  EXPECT_EQ(got, sent);
  EXPECT_EQ(who.pid, 9);
  EXPECT_EQ(who.name, "korza-monitor");
  accept = false;
  EXPECT_FALSE(client_->Execute(store, kCall));
  EXPECT_EQ(store->LastError(), "ConfigStoreClient::ParseResponse - invalid response code");
}

// The reports keep their wire order, and one connection carries the
// configuration request and both reports.
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
             })});
  ASSERT_TRUE(client_->Execute(std::make_shared<KzConfigClient>(44, "korza-monitor"), kCall));
  ASSERT_TRUE(
      client_->Execute(std::make_shared<KzStartAppClient>("POSTD", "a:b,c:d", "--x 1", 42), kCall));
  ASSERT_TRUE(client_->Execute(std::make_shared<KzStopAppClient>("POSTD", 42), kCall));
  ASSERT_TRUE(kztest::waitFor([&] {
    std::lock_guard<std::mutex> lock(m);
    return seen.size() == 2;
  }));
  EXPECT_EQ(seen, (std::vector<std::string>{"POSTD|42|a:b,c:d|--x 1", "stop POSTD|42|local:"}));
  EXPECT_EQ(client_pool_->Statistics().total_created, 1u);
}

TEST_F(ProtoTest, StartAppServerHandsEveryField) {
  std::string got;
  std::atomic<bool> done{false};
  serve({std::make_shared<KzStartAppServer>([&](const std::string&, const std::string& name,
                                                int32_t pid, const std::string& perms,
                                                const std::string& argv) {
    got = name + "|" + std::to_string(pid) + "|" + perms + "|" + argv;
    done = true;
  })});
  ASSERT_TRUE(client_->Execute(std::make_shared<KzStartAppClient>("ICAP", "u:g", "", 0), kCall));
  ASSERT_TRUE(kztest::waitFor([&] { return done.load(); }));
  EXPECT_EQ(got, "ICAP|0|u:g|");
}

}  // namespace
