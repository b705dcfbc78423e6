#include "ipc/kz_session.h"

#include "tests/ipc/ipc_test_support.h"

namespace {

using namespace korza::ipc;
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
  // A closed session refuses to call until it is opened again.
  client_->Close();
  EXPECT_THROW(client_->process(echoCall("b", &answer_), kCall), korza::base::KzSessionClosed);
  client_->Open(spec());
  EXPECT_TRUE(client_->process(echoCall("c", &answer_), kCall));
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
  // A session never opened refuses to call.
  KzClientSession client(std::make_shared<KzPersistentClientPoolManager>());
  EXPECT_FALSE(client.process(echoCall("x", &answer_), KzTimeout(0u)));
  EXPECT_TRUE(log.contains(
      "Session::Execute - error for address(es) []: Initial State: A session state doesn't "
      "allows to aquire connections"));
}

// A single-protocol server refuses other identifiers, and a request sent
// half does not stall it.
TEST_F(SessionTest, SingleProtocolServerRefusesOtherIdentifiersAndHalfSentRequests) {
  serve({}, echoProtocol(8200));
  openClient();
  kztest::LogCapture log;
  EXPECT_FALSE(client_->process(echoCall("x", &answer_, 8201), kCall));
  ASSERT_TRUE(kztest::waitFor(
      [&] { return log.contains("server: wrong protocol ID (received=8201, supported=8200)"); }));
  KzIpcPtr raw = KzIpcFactory::Instance().Create("*", spec());
  ASSERT_TRUE(raw->Connect(kCall));
  // The identifier and a string announced as 100 bytes, of which 3 arrive.
  ASSERT_TRUE(raw->Send(std::string("\x00\x00\x20\x08\x00\x00\x00\x64"
                                    "abc",
                                    11),
                        kCall));
  ASSERT_TRUE(kztest::waitFor([&] {
    return log.contains("KzDdpUnit::GetString: error in receiving string with length 100");
  }));
  EXPECT_TRUE(client_->process(echoCall("ok", &answer_, 8200), kCall));
}

TEST_F(SessionTest, CancelledThreadLeavesItsCallOnce) {
  echoServer();
  openClient(0, 1);
  // The one connection is busy, so the caller sleeps in the pool.
  KzIpcPtr busy = client_pool_->GetReady(korza::base::KzDeadline(kCall));
  kztest::LogCapture log;
  std::string canceled;
  std::atomic<bool> left{false};
  std::thread caller([&] {
    canceled = errorOf<korza::base::KzThreadCanceled>(
        [&] { client_->process(echoCall("w", &answer_), korza::base::kTimeoutInfinite); });
    left = true;
  });
  EXPECT_TRUE(kztest::waitFor([&] { return log.contains("is infinite=1"); }));
  client_->CancelThread(caller.get_id());
  // Freeing the connection ends the call even when the cancellation is lost.
  const bool woken = kztest::waitFor([&] { return left.load(); });
  client_pool_->Release(busy, true);
  caller.join();
  EXPECT_TRUE(woken);
  EXPECT_EQ(canceled, "PP-Manager::GetReady: thread has been canceled");
  // A thread cancelled between calls is refused at its next call, once.
  client_->CancelThread(std::this_thread::get_id());
  EXPECT_EQ(errorOf<korza::base::KzThreadCanceled>(
                [&] { client_->process(echoCall("x", &answer_), kCall); }),
            "RefCounter: thread has been canceled");
  EXPECT_TRUE(client_->process(echoCall("y", &answer_), kCall));
}

}  // namespace
