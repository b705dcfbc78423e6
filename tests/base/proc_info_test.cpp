#include "base/proc_info.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

#if defined(__linux__) || defined(__FreeBSD__)
TEST(ProcInfo, StartTimeTellsAProcessFromItsSuccessor) {
  const uint64_t self = Utils::processStartTime(getpid());
  EXPECT_NE(self, 0u);
  EXPECT_EQ(Utils::processStartTime(getpid()), self);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(0);
  // Ended but not yet reaped: a zombie is no process to signal.
  int status;
  for (int i = 0; i < 10000 && Utils::processStartTime(child) != 0; ++i) usleep(1000);
  EXPECT_EQ(Utils::processStartTime(child), 0u);
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(Utils::processStartTime(child), 0u);
  EXPECT_EQ(Utils::processStartTime(-1), 0u);
}
#endif

TEST(ProcInfo, DaemonRaisesItsLimitAndChildrenGetTheOldOne) {
  // In a child, so this test process keeps its limits.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    struct rlimit l;
    if (getrlimit(RLIMIT_NOFILE, &l) != 0 || l.rlim_max < 200) _exit(0);
    l.rlim_cur = 100;
    rlim_t before = 0, after = 0;
    if (setrlimit(RLIMIT_NOFILE, &l) != 0 || !Utils::raiseNoFileLimit(before, after)) _exit(1);
    if (before != 100 || after != l.rlim_max || Utils::childNoFileLimit() != 100) _exit(2);
    Utils::applyChildNoFileLimit();
    struct rlimit now;
    _exit(getrlimit(RLIMIT_NOFILE, &now) == 0 && now.rlim_cur == 100 && now.rlim_max == l.rlim_max
              ? 0
              : 3);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
