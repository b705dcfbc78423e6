#include "ipc/kz_session.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "base/kz_exception.h"
#include "tests/ipc/ipc_test_support.h"
#include "tests/support/process_runner.h"
#include "tests/support/sandbox.h"

namespace {

using namespace korza::ipc;
using korza::base::KzDeadline;
using korza::base::KzTimeout;

const uint32_t kEcho = 8206;

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

// A server session served by `threads` threads until the fixture ends.
class SessionTest : public ::testing::Test {
 protected:
  void startServer(std::shared_ptr<KzServerProtocol> fixed = nullptr, int threads = 1) {
    auto pool = std::make_shared<KzPersistentServerPoolManager>(ConnSettings(0, 16));
    pool->SetMaintenanceTimeout(KzTimeout(50u));
    server_pool_ = pool;
    server_.reset(new KzServerSession(pool, fixed));
    if (!fixed) server_->Register(echoProtocol());
    server_->SetRequestTimeout(KzTimeout(300u));
    server_->Open(spec());
    for (int i = 0; i < threads; ++i) {
      serving_.emplace_back([this] {
        while (!stop_) {
          try {
            server_->Execute(KzTimeout(50u));
          } catch (const std::exception&) {
          }
        }
      });
    }
  }
  void openClient(uint32_t max = 4) {
    auto pool = std::make_shared<KzPersistentClientPoolManager>(ConnSettings(0, max));
    pool->SetMaintenanceTimeout(KzTimeout(50u));
    client_pool_ = pool;
    client_.reset(new KzClientSession(pool));
    client_->Open(spec());
  }
  void TearDown() override {
    stop_ = true;
    for (auto& t : serving_) t.join();
    client_.reset();
    server_.reset();
  }
  std::string spec() const { return "local:" + dir_.file("s"); }

  kztest::TempDir dir_;
  std::shared_ptr<KzPersistentServerPoolManager> server_pool_;
  std::shared_ptr<KzPersistentClientPoolManager> client_pool_;
  std::unique_ptr<KzServerSession> server_;
  std::unique_ptr<KzClientSession> client_;
  std::atomic<bool> stop_{false};
  std::vector<std::thread> serving_;
};

TEST_F(SessionTest, RequestAndResponseReuseOnePersistentConnection) {
  startServer();
  openClient();
  EXPECT_EQ(client_->StateName(), "Opened State");
  for (int i = 0; i < 3; ++i) {
    std::string answer;
    ASSERT_TRUE(client_->process(echoCall("ping" + std::to_string(i), &answer), KzTimeout(5000u)));
    EXPECT_EQ(answer, "ping" + std::to_string(i));
  }
  EXPECT_EQ(client_pool_->Statistics().total_created, 1u);
}

TEST_F(SessionTest, UnsupportedAndWrongIdentifiersEndTheExchange) {
  startServer();
  openClient();
  kztest::LogCapture log;
  std::string answer;
  EXPECT_FALSE(client_->process(echoCall("x", &answer, 8195), KzTimeout(5000u)));
  ASSERT_TRUE(
      kztest::waitFor([&] { return log.contains("server: unsupported protocol ID ->8195"); }));
  EXPECT_TRUE(log.contains("server: unsupported protocol ID -> 8195"));
  // The broken connection is dropped; the next call gets a new one.
  EXPECT_TRUE(client_->process(echoCall("y", &answer), KzTimeout(5000u)));
  EXPECT_EQ(answer, "y");
}

TEST_F(SessionTest, SingleProtocolServerRefusesOtherIdentifiers) {
  startServer(echoProtocol(8200));
  openClient();
  kztest::LogCapture log;
  std::string answer;
  EXPECT_FALSE(client_->process(echoCall("x", &answer, 8201), KzTimeout(5000u)));
  ASSERT_TRUE(kztest::waitFor(
      [&] { return log.contains("server: wrong protocol ID (received=8201, supported=8200)"); }));
  EXPECT_TRUE(log.contains("server: wrong protocol ID (rcv=8201, sup=8200)"));
  EXPECT_TRUE(client_->process(echoCall("ok", &answer, 8200), KzTimeout(5000u)));
}

TEST_F(SessionTest, RegistrationRules) {
  auto pool = std::make_shared<KzPersistentServerPoolManager>();
  KzServerSession session(pool);
  try {
    session.Execute(KzTimeout(0u));
    FAIL();
  } catch (const korza::base::KzException& e) {
    EXPECT_STREQ(e.what(), "server: supported protocols were not been defined");
  }
  auto first = echoProtocol();
  EXPECT_TRUE(session.Register(first));
  kztest::LogCapture log;
  EXPECT_FALSE(session.Register(echoProtocol()));
  EXPECT_TRUE(
      log.contains("S-Session::Register - a protocol (id=8206) already has been registred"));
  EXPECT_FALSE(session.Deregister(echoProtocol(8195)));
  EXPECT_TRUE(session.Deregister(first));
  try {
    session.Register(nullptr);
    FAIL();
  } catch (const korza::base::KzParameterError& e) {
    EXPECT_STREQ(e.what(),
                 "ServerSession::Register: the 'theProto' parameter contains invalid value 'null'");
  }
  try {
    KzClientSession bad(nullptr);
    FAIL();
  } catch (const korza::base::KzParameterError& e) {
    EXPECT_STREQ(e.what(),
                 "Session::ctor: the 'PoolManager' parameter contains invalid value 'null'");
  }
  KzClientSession client(std::make_shared<KzPersistentClientPoolManager>());
  EXPECT_THROW(client.process(nullptr, KzTimeout(0u)), korza::base::KzParameterError);
  // An unusable address leaves the session where it was.
  EXPECT_THROW(client.Open("bogus"), korza::base::KzParameterError);
  EXPECT_EQ(client.StateName(), "Initial State");
  std::string answer;
  kztest::LogCapture refused;
  EXPECT_FALSE(client.process(echoCall("x", &answer), KzTimeout(0u)));
  EXPECT_TRUE(refused.contains(
      "Session::Execute - error for address(es) []: Initial State: A session state doesn't "
      "allows to aquire connections"));
}

TEST_F(SessionTest, SeveralClientThreadsShareOneSession) {
  startServer(nullptr, 2);
  openClient(3);
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
  startServer();
  openClient();
  std::string answer;
  ASSERT_TRUE(client_->process(echoCall("a", &answer), KzTimeout(5000u)));
  client_->Close();
  EXPECT_EQ(client_->StateName(), "Closed State");
  EXPECT_THROW(client_->process(echoCall("b", &answer), KzTimeout(5000u)),
               korza::base::KzSessionClosed);
  client_->Open(spec());
  EXPECT_TRUE(client_->process(echoCall("c", &answer), KzTimeout(5000u)));
  EXPECT_EQ(answer, "c");
}

TEST_F(SessionTest, SuspendedSessionWaitsAndResumes) {
  startServer();
  openClient();
  client_->Suspend();
  EXPECT_EQ(client_->StateName(), "Suspended State");
  std::string answer;
  // A short call times out while suspended.
  EXPECT_FALSE(client_->process(echoCall("t", &answer), KzTimeout(50u)));
  kztest::LogCapture log;
  std::atomic<bool> done{false};
  bool ok = false;
  std::thread caller([&] {
    ok = client_->process(echoCall("later", &answer), KzTimeout(10000u));
    done = true;
  });
  EXPECT_FALSE(kztest::waitFor([&] { return done.load(); }, std::chrono::milliseconds(100)));
  client_->Resume();
  ASSERT_TRUE(kztest::waitFor([&] { return done.load(); }));
  caller.join();
  EXPECT_TRUE(ok);
  EXPECT_EQ(answer, "later");
  EXPECT_TRUE(log.contains("Session::Execute - a state has been changed, call again"));
}

TEST_F(SessionTest, HalfSentRequestDoesNotStallTheServer) {
  startServer();
  KzIpcPtr raw = KzIpcFactory::Instance().Create("*", spec());
  ASSERT_TRUE(raw->Connect(KzTimeout(5000u)));
  kztest::LogCapture log;
  // The identifier and a string announced as 100 bytes, of which 3 arrive.
  ASSERT_TRUE(raw->Send(std::string("\x00\x00\x20\x0e\x00\x00\x00\x64"
                                    "abc",
                                    11),
                        KzTimeout(5000u)));
  ASSERT_TRUE(kztest::waitFor([&] {
    return log.contains("KzDdpUnit::GetString: error in receiving string with length 100");
  }));
  openClient();
  std::string answer;
  EXPECT_TRUE(client_->process(echoCall("next", &answer), KzTimeout(5000u)));
}

TEST_F(SessionTest, SecondServerOnALiveSocketFailsToOpen) {
  startServer();
  KzServerSession second(std::make_shared<KzPersistentServerPoolManager>(), echoProtocol());
  kztest::LogCapture log;
  try {
    second.Open(spec());
    FAIL();
  } catch (const korza::base::KzException& e) {
    EXPECT_STREQ(e.what(), "SessionState::Open - cannot initialize connections pool");
  }
  EXPECT_EQ(second.StateName(), "Initial State");
  EXPECT_TRUE(log.contains("can`t create a listening connection at " + spec()));
  // The first server is untouched.
  openClient();
  std::string answer;
  EXPECT_TRUE(client_->process(echoCall("still", &answer), KzTimeout(5000u)));
}

TEST_F(SessionTest, DestroyingTheServerReleasesItsWaiters) {
  startServer();
  stop_ = true;
  for (auto& t : serving_) t.join();
  serving_.clear();
  kztest::LogCapture log;
  std::atomic<bool> returned{false};
  KzServerSession* session = server_.get();
  std::thread waiter([&] {
    session->Execute(korza::base::kTimeoutInfinite);
    returned = true;
  });
  // Destroy only once the caller sleeps inside the session.
  ASSERT_TRUE(kztest::waitFor([&] { return log.contains("is infinite=1"); }));
  server_.reset();
  waiter.join();
  EXPECT_TRUE(returned);
}

TEST_F(SessionTest, CancelledThreadLeavesItsCallOnce) {
  startServer();
  openClient(1);
  std::string answer;
  // The one connection is busy, so the caller sleeps in the pool.
  KzIpcPtr busy = client_pool_->GetReady(KzDeadline(KzTimeout(5000u)));
  ASSERT_TRUE(busy);
  kztest::LogCapture log;
  std::string canceled;
  std::thread::id id;
  std::atomic<bool> started{false};
  std::thread caller([&] {
    id = std::this_thread::get_id();
    started = true;
    try {
      client_->process(echoCall("w", &answer), korza::base::kTimeoutInfinite);
    } catch (const korza::base::KzThreadCanceled& e) {
      canceled = e.what();
    }
    // Honoured once: the next call of this thread runs normally.
    if (client_->process(echoCall("after", &answer), KzTimeout(5000u))) canceled += "|ok";
  });
  ASSERT_TRUE(kztest::waitFor([&] { return started && log.contains("is infinite=1"); }));
  client_->CancelThread(id);
  ASSERT_TRUE(kztest::waitFor([&] { return !canceled.empty(); }));
  client_pool_->Release(busy, true);
  caller.join();
  EXPECT_EQ(canceled, "PP-Manager::GetReady: thread has been canceled|ok");
  EXPECT_EQ(answer, "after");

  // A thread cancelled between calls is refused at its next call, once.
  client_->CancelThread(std::this_thread::get_id());
  try {
    client_->process(echoCall("x", &answer), KzTimeout(5000u));
    FAIL();
  } catch (const korza::base::KzThreadCanceled& e) {
    EXPECT_STREQ(e.what(), "RefCounter: thread has been canceled");
  }
  EXPECT_TRUE(client_->process(echoCall("y", &answer), KzTimeout(5000u)));
  EXPECT_EQ(answer, "y");
}

// The server drops the connections of the first two requests unanswered.
TEST_F(SessionTest, RepeatableProtocolRunsAgainOnAConnectionTheServerClosed) {
  std::atomic<int> calls{0};
  startServer(
      std::make_shared<KzFunctionServerProtocol>(kEcho, [&calls](KzPDU& request, KzPDU& response) {
        const std::string text = request.GetString();
        if (calls++ < 2) return false;
        return response.AddString(text) && response.AddInt32(static_cast<int32_t>(text.size()));
      }));
  openClient();
  struct Repeatable : KzFunctionClientProtocol {
    using KzFunctionClientProtocol::KzFunctionClientProtocol;
    bool IsRepeatable() const override { return true; }
  };
  std::string answer;
  EXPECT_FALSE(client_->process(echoCall("once", &answer), KzTimeout(5000u)));
  EXPECT_EQ(calls.load(), 1);
  kztest::LogCapture log;
  auto twice = std::make_shared<Repeatable>(
      kEcho, [](KzPDU& request) { return request.AddString("twice"); },
      [&answer](KzPDU& response) {
        answer = response.GetString();
        return response.GetInt32() == 5;
      });
  EXPECT_TRUE(client_->process(twice, KzTimeout(5000u)));
  EXPECT_EQ(answer, "twice");
  EXPECT_EQ(calls.load(), 3);
  EXPECT_TRUE(
      log.contains("C-Session::process - the connection has been closed by the server, "
                   "the request is repeated"));
}

}  // namespace
