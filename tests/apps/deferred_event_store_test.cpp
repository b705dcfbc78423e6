#include "apps/deferred_event_store.h"

#include <gtest/gtest.h>

#include "base/log.h"
#include "tests/support/sandbox.h"

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
  kztest::TempDir dir;
  ASSERT_TRUE(korza::monitorLog().init(dir.file("log"), "info", "Daemon", false));
  DeferredEventStore store;
  store.setRecoveryTimes({10});
  store.pushFault(FaultEvent(3000, 3));
  store.pushFault(FaultEvent(1000, 1));
  store.pushFault(FaultEvent(2000, 2));
  store.pushFault(FaultEvent(500, 3));  // replaces the event of pid 3
  korza::LogClass::flush();
  EXPECT_THAT(kztest::readFile(dir.file("log")), HasSubstr("equal pid error, pid=3"));
  korza::LogClass::closeFile();
  EXPECT_EQ(store.size(), 3u);
  FaultEvent out;
  std::vector<int32_t> order;
  while (store.popReady(out, 1 << 30)) order.push_back(out.pid);
  EXPECT_EQ(order, (std::vector<int32_t>{3, 1, 2}));
}

}  // namespace
