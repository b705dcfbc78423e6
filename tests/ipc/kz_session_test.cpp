#include "ipc/kz_session.h"

#include "base/kz_exception.h"
#include "tests/ipc/ipc_test_support.h"
#include "tests/support/process_runner.h"

namespace {

using namespace korza::ipc;
using korza::base::KzDeadline;
using korza::base::KzTimeout;
using kztest::errorOf;

const uint32_t kEcho = 8206;
const KzTimeout kCall(5000u);

// Answers a string with the same string and its length.
std::shared_ptr<KzServerProtocol> echoProtocol(uint32_t id = kEcho) {
  return std::make_shared<KzFunctionServerProtocol>(id, [](KzPDU& request, KzPDU& response) {
    const std::string text = request.GetString();
    response.AddString(text);
    response.AddInt32(static_cast<int32_t>(text.size()));
    return true;
  });
}

// A client call of the echo protocol; `answer` receives the echoed text.
std::shared_ptr<KzClientProtocol> echoCall(const std::string& text, std::string* answer,
                                           uint32_t id = kEcho) {
  return std::make_shared<KzFunctionClientProtocol>(
      id, [text](KzPDU& request) { return request.AddString(text); },
      [answer, text](KzPDU& response) {
        *answer = response.GetString();
        return response.GetInt32() == static_cast<int32_t>(text.size());
      });
}

class SessionTest : public kztest::SessionFixture {
 protected:
  void echoServer(int threads = 1) { serve({echoProtocol()}, nullptr, threads); }
  std::string answer_;
};

TEST_F(SessionTest, ReuseOneConnectionAndRecoverFromWrongIdentifiers) {
  echoServer();
  openClient();
  for (const char* text : {"ping0", "ping1"}) {
    ASSERT_TRUE(client_->process(echoCall(text, &answer_), kCall));
    EXPECT_EQ(answer_, text);
  }
  EXPECT_EQ(client_pool_->Statistics().total_created, 1u);
  kztest::LogCapture log;
  EXPECT_FALSE(client_->process(echoCall("x", &answer_, 8195), kCall));
  ASSERT_TRUE(
      kztest::waitFor([&] { return log.contains("server: unsupported protocol ID ->8195"); }));
  EXPECT_TRUE(log.contains("server: unsupported protocol ID -> 8195"));
  // The broken connection is dropped; the next call gets a new one.
  EXPECT_TRUE(client_->process(echoCall("y", &answer_), kCall));
  EXPECT_EQ(answer_, "y");
}

TEST_F(SessionTest, SingleProtocolServerRefusesOtherIdentifiers) {
  serve({}, echoProtocol(8200));
  openClient();
  kztest::LogCapture log;
  EXPECT_FALSE(client_->process(echoCall("x", &answer_, 8201), kCall));
  ASSERT_TRUE(kztest::waitFor(
      [&] { return log.contains("server: wrong protocol ID (received=8201, supported=8200)"); }));
  EXPECT_TRUE(client_->process(echoCall("ok", &answer_, 8200), kCall));
}

TEST_F(SessionTest, RegistrationRules) {
  KzServerSession session(std::make_shared<KzPersistentServerPoolManager>());
  EXPECT_EQ(errorOf<korza::base::KzException>([&] { session.Execute(KzTimeout(0u)); }),
            "server: supported protocols were not been defined");
  auto first = echoProtocol();
  EXPECT_TRUE(session.Register(first));
  kztest::LogCapture log;
  EXPECT_FALSE(session.Register(echoProtocol()));
  EXPECT_TRUE(
      log.contains("S-Session::Register - a protocol (id=8206) already has been registred"));
  EXPECT_TRUE(session.Deregister(first));
  EXPECT_EQ(errorOf<korza::base::KzParameterError>([&] { session.Register(nullptr); }),
            "ServerSession::Register: the 'theProto' parameter contains invalid value 'null'");
  EXPECT_EQ(errorOf<korza::base::KzParameterError>([] { KzClientSession bad(nullptr); }),
            "Session::ctor: the 'PoolManager' parameter contains invalid value 'null'");
  // A session never opened refuses to call.
  KzClientSession client(std::make_shared<KzPersistentClientPoolManager>());
  EXPECT_FALSE(client.process(echoCall("x", &answer_), KzTimeout(0u)));
  EXPECT_TRUE(log.contains(
      "Session::Execute - error for address(es) []: Initial State: A session state doesn't "
      "allows to aquire connections"));
}

TEST_F(SessionTest, SeveralClientThreadsShareOneSession) {
  echoServer(2);
  openClient(0, 3);
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) {
        const std::string text = std::to_string(t) + ":" + std::to_string(i);
        std::string answer;
        if (client_->process(echoCall(text, &answer), KzTimeout(10000u)) && answer == text) ++good;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(good.load(), 100);
  EXPECT_LE(client_pool_->Statistics().max_created, 3u);
}

TEST_F(SessionTest, ClosedSessionRefusesAndCanBeOpenedAgain) {
  echoServer();
  openClient();
  client_->Close();
  EXPECT_THROW(client_->process(echoCall("b", &answer_), kCall), korza::base::KzSessionClosed);
  client_->Open(spec());
  EXPECT_TRUE(client_->process(echoCall("c", &answer_), kCall));
}

TEST_F(SessionTest, HalfSentRequestAndSecondServerDoNotDisturbTheServer) {
  echoServer();
  KzIpcPtr raw = KzIpcFactory::Instance().Create("*", spec());
  ASSERT_TRUE(raw->Connect(kCall));
  kztest::LogCapture log;
  // The identifier and a string announced as 100 bytes, of which 3 arrive.
  ASSERT_TRUE(raw->Send(std::string("\x00\x00\x20\x0e\x00\x00\x00\x64"
                                    "abc",
                                    11),
                        kCall));
  ASSERT_TRUE(kztest::waitFor([&] {
    return log.contains("KzDdpUnit::GetString: error in receiving string with length 100");
  }));
  KzServerSession second(std::make_shared<KzPersistentServerPoolManager>(), echoProtocol());
  EXPECT_EQ(errorOf<korza::base::KzException>([&] { second.Open(spec()); }),
            "SessionState::Open - cannot initialize connections pool");
  EXPECT_EQ(second.StateName(), "Initial State");
  openClient();
  EXPECT_TRUE(client_->process(echoCall("next", &answer_), kCall));
}

TEST_F(SessionTest, CancelledThreadLeavesItsCallOnce) {
  echoServer();
  openClient(0, 1);
  // The one connection is busy, so the caller sleeps in the pool.
  KzIpcPtr busy = client_pool_->GetReady(KzDeadline(kCall));
  kztest::LogCapture log;
  std::string canceled;
  std::thread::id id;
  std::atomic<bool> started{false}, left{false};
  std::thread caller([&] {
    id = std::this_thread::get_id();
    started = true;
    canceled = errorOf<korza::base::KzThreadCanceled>(
        [&] { client_->process(echoCall("w", &answer_), korza::base::kTimeoutInfinite); });
    left = true;
    // Honoured once: the next call of this thread runs normally.
    if (client_->process(echoCall("after", &answer_), kCall)) canceled += "|ok";
  });
  ASSERT_TRUE(kztest::waitFor([&] { return started && log.contains("is infinite=1"); }));
  client_->CancelThread(id);
  ASSERT_TRUE(kztest::waitFor([&] { return left.load(); }));
  client_pool_->Release(busy, true);
  caller.join();
  EXPECT_EQ(canceled, "PP-Manager::GetReady: thread has been canceled|ok");
  // A thread cancelled between calls is refused at its next call, once.
  client_->CancelThread(std::this_thread::get_id());
  EXPECT_EQ(errorOf<korza::base::KzThreadCanceled>(
                [&] { client_->process(echoCall("x", &answer_), kCall); }),
            "RefCounter: thread has been canceled");
  EXPECT_TRUE(client_->process(echoCall("y", &answer_), kCall));
}

}  // namespace
