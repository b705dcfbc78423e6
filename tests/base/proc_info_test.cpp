#include "base/proc_info.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

#if defined(__linux__) || defined(__FreeBSD__)
TEST(ProcInfo, StartTimeIsKnownOnlyWhileTheProcessRuns) {
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

}  // namespace
