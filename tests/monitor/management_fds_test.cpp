#include "monitor/management_fds.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/support/log_capture.h"
#include "tests/support/pipe.h"
#include "tests/support/sandbox.h"

namespace {

using kztest::Pipe;

TEST(ManagementDescriptors, OnlyEndOfFileCountsAsDeath) {
  LogCapture log;
  Pipe quiet, talking, dead;
  ASSERT_EQ(write(talking.fds[1], "hello", 5), 5);
  dead.closeEnd(1);
  auto closed = collectClosedDescriptors({quiet.fds[0], talking.fds[0], dead.fds[0], -1, 0}, 1000);
  EXPECT_EQ(closed, std::vector<int>{dead.fds[0]});
  EXPECT_THAT(log.text(), HasSubstr("error data in management descriptor " +
                                    std::to_string(talking.fds[0]) + ": hello"));
  // Nothing happening: the wait ends at its time-out with nothing.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(collectClosedDescriptors({quiet.fds[0]}, 100).empty());
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(90));
  EXPECT_TRUE(collectClosedDescriptors({}, 0).empty());
}

TEST(ManagementDescriptors, DescriptorsAboveFdSetSizeWork) {
  struct rlimit rl;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &rl), 0);
  const rlim_t want = 1300;
  if (rl.rlim_cur < want) {
    if (rl.rlim_max < want) GTEST_SKIP() << "descriptor limit too low";
    struct rlimit raised = rl;
    raised.rlim_cur = want;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
  }
  Pipe p;
  const int high = fcntl(p.fds[0], F_DUPFD, 1200);
  ASSERT_GE(high, 1200);
  p.closeEnd(0);
  p.closeEnd(1);
  EXPECT_EQ(collectClosedDescriptors({high}, 1000), std::vector<int>{high});
  close(high);
  setrlimit(RLIMIT_NOFILE, &rl);
}

// The running components' descriptors stay registered between waits: a
// death or a wake-up ends the wait, nothing else does.
TEST(ManagementDescriptors, RegisteredDescriptorsAndTheWakePipeEndTheWait) {
  for (bool portable : {false, true}) {
    ManagementFds fds(portable);
    Pipe quiet, dying;
    fds.fdOpened(quiet.fds[0]);
    fds.fdOpened(dying.fds[0]);
    EXPECT_EQ(fds.watched(), 2u);
    EXPECT_TRUE(fds.wait(0, true).empty());

    std::thread waker([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      fds.wake();
    });
    EXPECT_TRUE(fds.wait(-1, false).empty());  // woken, not drained
    waker.join();
    EXPECT_TRUE(fds.wait(-1, true).empty());  // still pending, now drained
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(fds.wait(50, true).empty());
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(45));

    dying.closeEnd(1);
    EXPECT_EQ(fds.wait(-1, true), std::vector<int>{dying.fds[0]}) << fds.mechanism();
    const uint64_t changes = fds.changes();
    fds.fdClosing(dying.fds[0]);
    EXPECT_EQ(fds.changes(), changes + 1);
    EXPECT_FALSE(fds.watches(dying.fds[0]));
    EXPECT_TRUE(fds.wait(0, true).empty());
  }
}

}  // namespace
