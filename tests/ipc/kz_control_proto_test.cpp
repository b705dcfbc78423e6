#include "ipc/kz_control_proto.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "base/kz_exception.h"
#include "ipc/kz_factory.h"
#include "ipc/kz_session.h"
#include "tests/ipc/ipc_test_support.h"
#include "tests/support/process_runner.h"
#include "tests/support/sandbox.h"

namespace {

using namespace korza::ipc;
using namespace korza::postd;
using korza::base::KzTimeout;

std::string bytes(std::initializer_list<int> list) {
  std::string s;
  for (int b : list) s += static_cast<char>(b);
  return s;
}

TEST(ControlProtocolWire, RequestsAndResponsesByteForByte) {
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

// A server session with both control protocols, served by one thread.
class ControlProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto pool = std::make_shared<KzPersistentServerPoolManager>(ConnSettings(0, 8));
    pool->SetMaintenanceTimeout(KzTimeout(50u));
    server_.reset(new KzServerSession(pool));
    server_->Register(std::make_shared<KzReloadCompServer>([this](const std::list<int32_t>& p) {
      std::lock_guard<std::mutex> lock(mutex_);
      calls_.push_back(std::vector<int32_t>(p.begin(), p.end()));
      return true;
    }));
    server_->Register(std::make_shared<KzUpdateServer>(
        [](const std::string& a, const std::string& b, const std::string& c) {
          return std::make_pair(a == "ok", a + "|" + b + "|" + c);
        }));
    server_->SetRequestTimeout(KzTimeout(300u));
    server_->Open(spec());
    serving_ = std::thread([this] {
      while (!stop_) {
        try {
          server_->Execute(KzTimeout(50u));
        } catch (const std::exception&) {
        }
      }
    });
    auto client_pool = std::make_shared<KzPersistentClientPoolManager>(ConnSettings(0, 2));
    client_pool->SetMaintenanceTimeout(KzTimeout(50u));
    client_pool_ = client_pool;
    client_.reset(new KzClientSession(client_pool));
    client_->Open(spec());
  }
  void TearDown() override {
    stop_ = true;
    serving_.join();
    client_.reset();
    server_.reset();
  }
  std::string spec() const { return "local:" + dir_.file("s"); }
  std::vector<std::vector<int32_t>> calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  // Sends raw bytes on a connection of its own and closes it.
  void sendRaw(const std::string& data) {
    KzIpcPtr raw = KzIpcFactory::Instance().Create("*", spec());
    ASSERT_TRUE(raw && raw->Connect(KzTimeout(2000u)));
    size_t length = data.size();
    ASSERT_TRUE(raw->Send(data.data(), &length, KzTimeout(2000u)));
    raw->Close();
  }

  kztest::TempDir dir_;
  std::unique_ptr<KzServerSession> server_;
  std::shared_ptr<KzPersistentClientPoolManager> client_pool_;
  std::unique_ptr<KzClientSession> client_;
  std::atomic<bool> stop_{false};
  std::thread serving_;
  std::mutex mutex_;
  std::vector<std::vector<int32_t>> calls_;
};

TEST_F(ControlProtocolTest, ExchangesOfBothProtocolsOnOnePersistentConnection) {
  auto reload = std::make_shared<KzReloadCompClient>(std::vector<int32_t>{5, 3, 5});
  ASSERT_TRUE(client_->process(reload, KzTimeout(5000u)));
  EXPECT_TRUE(reload->GetResult());
  ASSERT_TRUE(client_->process(std::make_shared<KzReloadCompClient>(std::vector<int32_t>{}),
                               KzTimeout(5000u)));
  auto good = std::make_shared<KzUpdateClient>("ok", "b", "c");
  EXPECT_TRUE(client_->process(good, KzTimeout(5000u)));
  EXPECT_EQ(good->GetResult(), std::make_tuple(std::string("ok|b|c"), true));
  // A refusal is an answer too: 0 and the text, and ParseResponse says no.
  auto refused = std::make_shared<KzUpdateClient>("no", "", "");
  EXPECT_FALSE(client_->process(refused, KzTimeout(5000u)));
  EXPECT_TRUE(refused->answered());
  EXPECT_EQ(refused->GetResult(), std::make_tuple(std::string("no||"), false));

  ASSERT_TRUE(kztest::waitFor([&] { return calls().size() == 2; }));
  EXPECT_EQ(calls()[0], (std::vector<int32_t>{5, 3, 5}));
  EXPECT_TRUE(calls()[1].empty());
  // The refusal closed its connection; the others shared one.
  EXPECT_EQ(client_pool_->Statistics().total_created, 1u);
}

TEST_F(ControlProtocolTest, HostileOrBrokenRequestsNeverReachTheProcessor) {
  kztest::LogCapture log;
  const std::string reload_id = bytes({0, 0, 0x20, 0x08});
  sendRaw(reload_id + bytes({0xff, 0xff, 0xff, 0xff}));  // N = -1
  sendRaw(reload_id + bytes({0x7f, 0, 0, 0}));           // N far beyond the cap
  sendRaw(reload_id + bytes({0, 0, 0, 3, 0, 0, 0, 1}));  // gone mid-request
  sendRaw(bytes({0, 0, 0x27, 0x0f}));                    // unknown protocol
  ASSERT_TRUE(kztest::waitFor([&] {
    return kztest::countOf(log.text(), "wrong number of pids") == 2 &&
           log.contains("unsupported protocol ID ->9999");
  }));
  // The server goes on serving others.
  ASSERT_TRUE(client_->process(std::make_shared<KzReloadCompClient>(std::vector<int32_t>{9}),
                               KzTimeout(5000u)));
  ASSERT_TRUE(kztest::waitFor([&] { return !calls().empty(); }));
  EXPECT_EQ(calls(), (std::vector<std::vector<int32_t>>{{9}}));
}

TEST(DdpUnitLimit, AReadBeyondTheReceiveLimitFailsBeforeAllocating) {
  kztest::TempDir dir;
  const std::string spec = "local:" + dir.file("s");
  KzIpcPtr listening = KzIpcFactory::Instance().Create(spec, "*");
  listening->Create();
  listening->Listen(4);
  KzIpcPtr client = KzIpcFactory::Instance().Create("*", spec);
  ASSERT_TRUE(client->Connect(KzTimeout(2000u)));
  KzIpcPtr accepted = listening->Accept(KzTimeout(2000u));
  ASSERT_TRUE(accepted);
  KzDdpUnit out;
  out.SetConnection(client);
  out.AddInt32(1);
  out.AddString(std::string(100, 'x'));
  out.Push();
  KzDdpUnit in;
  in.SetConnection(accepted);
  in.SetReceiveLimit(64);
  EXPECT_EQ(in.GetInt32(), 1);
  EXPECT_THROW(in.GetString(), korza::base::KzException);
}

}  // namespace
