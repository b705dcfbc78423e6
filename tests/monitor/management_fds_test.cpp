#include "monitor/management_fds.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>

#include "base/log.h"
#include "tests/support/sandbox.h"

namespace {

struct Pipe {
  Pipe() { EXPECT_EQ(pipe(fds), 0); }
  ~Pipe() {
    closeEnd(0);
    closeEnd(1);
  }
  void closeEnd(int i) {
    if (fds[i] >= 0) close(fds[i]);
    fds[i] = -1;
  }
  int fds[2];
};

TEST(ManagementDescriptors, OnlyEndOfFileCountsAsDeath) {
  kztest::TempDir dir;
  ASSERT_TRUE(korza::monitorLog().init(dir.file("log"), "debug", "daemon", false));
  Pipe quiet, talking, dead;
  ASSERT_EQ(write(talking.fds[1], "hello", 5), 5);
  dead.closeEnd(1);
  auto closed = collectClosedDescriptors({quiet.fds[0], talking.fds[0], dead.fds[0], -1, 0}, 1000);
  EXPECT_EQ(closed, std::vector<int>{dead.fds[0]});
  korza::LogClass::flush();
  EXPECT_THAT(kztest::readFile(dir.file("log")),
              HasSubstr("error data in management descriptor " + std::to_string(talking.fds[0]) +
                        ": hello"));
  korza::LogClass::closeFile();
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

}  // namespace
