#include "apps/deferred_event_store.h"

#include <gtest/gtest.h>

#include "tests/support/log_capture.h"

namespace {

TEST(DeferredEventStore, ScheduleAddsTheIntervalsUpToTheTry) {
  DeferredEventStore store;
  store.setRecoveryTimes({10, 20, 30});
  FaultEvent event(1000, 42);
  const int32_t expected[] = {1010, 1030, 1060};
  for (int32_t due : expected) {
    store.pushFault(event);
    FaultEvent out;
    EXPECT_FALSE(store.popReady(out, due - 1));
    ASSERT_TRUE(store.popReady(out, due));  // exactly at the due time
    EXPECT_EQ(out.dueTime, due);
    EXPECT_EQ(out.pid, 42);
    EXPECT_EQ(out.faultTime, 1000);
    event = out;
  }
  EXPECT_EQ(event.tryNumber, 3u);
  EXPECT_EQ(kztest::errorOf<DeferredEventStore::TimeoutError>([&] { store.pushFault(event); }),
            "pushFault() error: try number is over");
  EXPECT_TRUE(store.empty());
  DeferredEventStore no_list;
  EXPECT_THROW(no_list.pushFault(FaultEvent(1000, 1)), DeferredEventStore::TimeoutError);
}

TEST(DeferredEventStore, EarliestDueComesFirstAndOnePerPid) {
  LogCapture log;
  DeferredEventStore store;
  store.setRecoveryTimes({10});
  store.pushFault(FaultEvent(3000, 3));
  store.pushFault(FaultEvent(1000, 1));
  store.pushFault(FaultEvent(2000, 2));
  store.pushFault(FaultEvent(500, 3));  // replaces the event of pid 3
  EXPECT_THAT(log.text(), HasSubstr("equal pid error, pid=3"));
  EXPECT_EQ(store.size(), 3u);
  FaultEvent out;
  std::vector<int32_t> order;
  while (store.popReady(out, 1 << 30)) order.push_back(out.pid);
  EXPECT_EQ(order, (std::vector<int32_t>{3, 1, 2}));
}

// The schedule runs on its own clock in milliseconds: the wall-clock time of
// the death only travels with the event.
TEST(DeferredEventStore, DueTimesFollowTheScheduleClock) {
  int64_t now_ms = 50000;
  DeferredEventStore store([&] { return now_ms; });
  store.setRecoveryTimes({3, 2});
  EXPECT_EQ(store.msUntilNextDue(), -1);
  store.pushFault(FaultEvent(1900000000, now_ms + 400, 7));  // wall clock far away
  EXPECT_EQ(store.msUntilNextDue(), 3400);
  FaultEvent out;
  now_ms += 3399;
  EXPECT_FALSE(store.popReady(out));
  now_ms += 1;
  EXPECT_EQ(store.msUntilNextDue(), 0);
  ASSERT_TRUE(store.popReady(out));
  EXPECT_EQ(out.faultTime, 1900000000);
  store.pushFault(out);  // the second attempt counts from the death too
  EXPECT_EQ(store.msUntilNextDue(), 2000);
}

}  // namespace
