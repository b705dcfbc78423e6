#include "ipc/kz_session.h"

#include <chrono>
#include <list>
#include <tuple>

#include "ipc/kz_control_proto.h"
#include "ipc/kz_status_proto.h"
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

// Control requests as raw bytes, for clients that misbehave.
namespace raw {

std::string int32(uint32_t v) {
  return kztest::bytes({int(v >> 24), int(v >> 16 & 0xff), int(v >> 8 & 0xff), int(v & 0xff)});
}
std::string status() { return int32(korza::postd::kStatusProtocol) + int32(1); }
// An update request announcing a first string of `length` bytes, of which
// `sent` are there.
std::string updateStart(uint32_t length, size_t sent) {
  return int32(korza::postd::kUpdateProtocol) + int32(length) + std::string(sent, 'u');
}

}  // namespace raw

class ControlSessionTest : public kztest::SessionFixture {
 protected:
  void serveControl(int threads = 1) {
    serve({std::make_shared<korza::postd::KzStatusServer>(
               [] { return std::make_shared<korza::postd::StatusSnapshot>(); }),
           std::make_shared<korza::postd::KzReloadCompServer>([this](const std::list<int32_t>&) {
             ++reloads_;
             return true;
           }),
           std::make_shared<korza::postd::KzUpdateServer>(
               [this](const std::string&, const std::string&, const std::string&) {
                 ++updates_;
                 while (!release_) std::this_thread::sleep_for(std::chrono::milliseconds(5));
                 return std::make_pair(true, std::string("done"));
               })},
          nullptr, threads);
    // A request, however slowly it comes, has this long to arrive.
    server_->SetRequestTimeout(KzTimeout(30000u));
  }
  bool reload() {
    return client_->process(
        std::make_shared<korza::postd::KzReloadCompClient>(std::vector<int32_t>{1, 2}), kCall);
  }
  bool status() {
    auto call = std::make_shared<korza::postd::KzStatusClient>();
    return client_->process(call, kCall) && call->answered();
  }
  // Whether `c` is closed by the server: reading it ends at once.
  static bool closedByServer(const KzIpcPtr& c) {
    char byte;
    size_t n = 1;
    try {
      c->Receive(&byte, &n, KzTimeout(2000u));
    } catch (const korza::base::KzIpcError&) {
      return true;
    }
    return false;
  }
  std::atomic<int> reloads_{0};
  std::atomic<int> updates_{0};
  std::atomic<bool> release_{false};
};

TEST_F(ControlSessionTest, HalfSentSilentAndTricklingClientsNeverDelayACompleteRequest) {
  serveControl();
  std::vector<KzIpcPtr> hostile;
  hostile.reserve(4);
  for (int i = 0; i < 3; ++i) hostile.push_back(rawClient(std::string(1, '\0')));
  hostile.push_back(rawClient(""));
  std::atomic<bool> stop{false};
  std::thread trickle([&] {
    KzIpcPtr c = rawClient("");
    for (char byte : raw::updateStart(1000, 100)) {
      if (stop || !c->Send(std::string(1, byte), KzTimeout(1000u))) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  openClient();
  EXPECT_TRUE(reload());
  EXPECT_TRUE(status());
  stop = true;
  trickle.join();
  EXPECT_TRUE(kztest::waitFor([&] { return reloads_ == 1; }));
  EXPECT_EQ(updates_, 0);
}

TEST_F(ControlSessionTest, AFullPoolShedsAnIdleConnectionNeverACompleteRequest) {
  max_connections_ = 4;
  // No serving thread yet: the complete request waits in the pool.
  serveControl(0);
  std::vector<KzIpcPtr> half;
  half.reserve(3);
  for (int i = 0; i < 3; ++i) half.push_back(rawClient(std::string(1, '\0')));
  ASSERT_TRUE(kztest::waitFor([&] { return serverPool()->Buffered() == 3; }));
  KzIpcPtr complete = rawClient(raw::status());
  ASSERT_TRUE(kztest::waitFor([&] { return serverPool()->ReadyCount() == 1; }));
  KzIpcPtr silent = rawClient("");
  ASSERT_TRUE(kztest::waitFor([&] { return serverPool()->Statistics().closed == 1; }));
  EXPECT_TRUE(closedByServer(half[0]));
  // Served now, the request still gets its answer.
  serving_.emplace_back([this] {
    while (!stop_) server_->Execute(KzTimeout(50u));
  });
  std::string format(4, '\0');
  ASSERT_TRUE(complete->Receive(&format, kCall));
  EXPECT_EQ(format, raw::int32(korza::postd::kStatusFormat));
}

TEST_F(ControlSessionTest, AClientThatNeverReadsItsAnswersHoldsNoServingThread) {
  serveControl();
  // Far more answers than a socket buffer holds; none is read. Requests
  // sent at once are served one after another without copying the rest.
  std::string requests;
  for (int i = 0; i < 20000; ++i) requests += raw::status();
  KzIpcPtr greedy = rawClient(requests);
  ASSERT_TRUE(kztest::waitFor([&] { return serverPool()->Buffered() > 0; }));
  openClient();
  EXPECT_TRUE(reload());
  EXPECT_TRUE(status());
  EXPECT_TRUE(kztest::waitFor([&] { return reloads_ == 1; }));
}

TEST_F(ControlSessionTest, HeldBytesStayUnderTheLimitAndOversizedOrLateRequestsAreDropped) {
  serveControl();
  server_->SetRequestTimeout(KzTimeout(300u));
  kztest::LogCapture log;
  // A string longer than any request may be is refused at once.
  EXPECT_TRUE(closedByServer(rawClient(raw::updateStart(0x7fffffff, 0))));
  EXPECT_TRUE(log.contains("exceeds the limit of"));
  // A request that does not arrive within the request time-out is dropped.
  KzIpcPtr late = rawClient(raw::updateStart(1000, 10));
  EXPECT_TRUE(closedByServer(late));
  EXPECT_TRUE(log.contains("has not completed its request within"));
  EXPECT_EQ(serverPool()->Buffered(), 0u);
}

TEST_F(ControlSessionTest, TheHalfSentConnectionHoldingTheMostIsClosedPastTheLimit) {
  max_connections_ = 8;
  serveControl(0);
  const auto pool = serverPool();
  pool->SetBufferLimit(1000);
  KzIpcPtr most = rawClient(raw::updateStart(5000, 600));
  ASSERT_TRUE(kztest::waitFor([&] { return pool->Buffered() == 608; }));
  KzIpcPtr less = rawClient(raw::updateStart(5000, 300));
  ASSERT_TRUE(kztest::waitFor([&] { return pool->Buffered() == 916; }));
  KzIpcPtr third = rawClient(raw::updateStart(5000, 200));
  ASSERT_TRUE(kztest::waitFor([&] { return pool->Statistics().closed == 1; }));
  EXPECT_LE(pool->Buffered(), 1000u);
  EXPECT_TRUE(closedByServer(most));
  EXPECT_FALSE(closedByServer(less));
}

TEST_F(ControlSessionTest, ASlowRequestOnItsOwnThreadLeavesTheOthersServed) {
  serveControl(0);
  const auto isUpdate = [](uint32_t id) { return id == korza::postd::kUpdateProtocol; };
  for (int slow = 0; slow < 2; ++slow) {
    serving_.emplace_back([this, slow, isUpdate] {
      while (!stop_) {
        server_->Execute(KzTimeout(50u), [&](uint32_t id) { return isUpdate(id) == (slow == 1); });
      }
    });
  }
  openClient();
  auto update = std::make_shared<korza::postd::KzUpdateClient>("a", "b", "c");
  bool updated = false;
  std::thread updater([&] { updated = client_->process(update, KzTimeout(20000u)); });
  ASSERT_TRUE(kztest::waitFor([&] { return updates_ == 1; }));
  EXPECT_TRUE(reload());
  EXPECT_TRUE(status());
  release_ = true;
  updater.join();
  EXPECT_TRUE(updated);
  EXPECT_EQ(std::get<0>(update->GetResult()), "done");
}

}  // namespace
