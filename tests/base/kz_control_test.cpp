#include "base/kz_control.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <thread>

#include "base/kz_event.h"
#include "base/kz_exception.h"
#include "tests/ipc/ipc_test_support.h"
#include "tests/support/process_runner.h"

namespace {

using korza::base::KzControl;
using korza::base::KzEvent;
using korza::base::KzTimeout;

int readable(int fd) {
  struct pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, 0);
}

TEST(KzControl, RepeatedCommandsCollapseIntoOneByteAndClearDrainsThePipe) {
  kztest::LogCapture log;
  KzControl control("test");
  control.Send(0x101);
  control.Send(0x101);
  control.Send(0x102);
  EXPECT_EQ(control.queued(), 2u);
  EXPECT_TRUE(log.contains("KzControl(test): skip sending 0x101: already in queue"));
  EXPECT_TRUE(log.contains("KzControl(test): set cmd to 0x102"));
  EXPECT_EQ(control.Read(), 0x101u);
  EXPECT_EQ(control.Read(), 0x102u);
  // Exactly two bytes were written: the pipe is empty now.
  EXPECT_EQ(readable(control.fd()), 0);
  EXPECT_EQ(kztest::errorOf<korza::base::KzThreadCanceled>([&] { control.Read(); }),
            "KzPersistentPoolManager::Maintain terminate by emty queue: thread has been canceled");
  // Clear drains what was sent and not read.
  control.Send(1);
  control.Send(2);
  EXPECT_EQ(readable(control.fd()), 1);
  control.Clear();
  EXPECT_EQ(control.queued(), 0u);
  EXPECT_EQ(readable(control.fd()), 0);
}

TEST(KzEvent, SetIsTakenOnceBroadcastWakesAllAndDeletionReleases) {
  kztest::LogCapture log;
  KzEvent event("ev");
  uint32_t value = 0;
  EXPECT_EQ(event.Wait(KzTimeout(0u), &value), KzEvent::kTimedOut);
  EXPECT_TRUE(log.contains("the 'ev' event has been timed out (wait for = 0 ms)"));
  event.Set(0x2a);
  EXPECT_EQ(event.Wait(KzTimeout(0u), &value), KzEvent::kReceived);
  EXPECT_EQ(value, 0x2au);
  EXPECT_TRUE(log.contains("the 'ev' event has been received with value=0x2a"));
  // Taken once only.
  EXPECT_EQ(event.Wait(KzTimeout(0u), &value), KzEvent::kTimedOut);

  // A broadcast wakes every waiter; deleting the event releases its waiters.
  std::atomic<int> received{0};
  KzEvent broadcast("b");
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) {
    threads.emplace_back([&] {
      uint32_t v = 0;
      if (broadcast.Wait(KzTimeout(10000u), &v) == KzEvent::kReceived && v == 7) ++received;
    });
  }
  ASSERT_TRUE(kztest::waitFor([&] { return broadcast.waiters() == 3; }));
  broadcast.Broadcast(7);
  for (auto& t : threads) t.join();
  EXPECT_EQ(received.load(), 3);
  auto deleted = std::make_unique<KzEvent>("d");
  KzEvent::WaitResult result = KzEvent::kReceived;
  std::thread waiter([&] { result = deleted->Wait(korza::base::kTimeoutInfinite, &value); });
  ASSERT_TRUE(kztest::waitFor([&] { return deleted->waiters() == 1; }));
  deleted.reset();
  waiter.join();
  EXPECT_EQ(result, KzEvent::kDeleted);
  EXPECT_TRUE(log.contains("the 'd' event was deleting (waiters=1)..."));
  EXPECT_TRUE(log.contains("the 'd' event has been deleted"));
}

}  // namespace
