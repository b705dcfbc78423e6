// The event-driven child wait: it wakes when the child ends, not at the
// deadline; it gives up at the deadline; a signal handler interrupting it
// does not end it early.
#include "base/child_wait.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// A child that sleeps `ms` milliseconds, then exits with `code` (ms < 0:
// waits for a signal).
pid_t spawn(int ms, int code) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (ms < 0) {
      for (;;) pause();
    }
    usleep(static_cast<useconds_t>(ms) * 1000);
    _exit(code);
  }
  return pid;
}

// Each case runs with the system's event source and with the back-off loop
// that stands in for it elsewhere.
class ChildWait : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { Utils::TEST_forceBackoff(GetParam()); }
  void TearDown() override { Utils::TEST_forceBackoff(false); }
};

std::atomic<int> g_interrupts{0};
void countInterrupt(int) { ++g_interrupts; }

TEST_P(ChildWait, WakesWhenTheChildEndsGivesUpAtTheDeadlineAndGoesOnWhenInterrupted) {
  const pid_t quick = spawn(50, 3);
  ASSERT_GT(quick, 0);
  int status = 0;
  const auto begin = Clock::now();
  ASSERT_TRUE(Utils::waitChild(quick, &status, 120000));
  // Far below the limit: the wait did not run to its deadline.
  EXPECT_LT(Clock::now() - begin, std::chrono::seconds(60));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);

  const pid_t slow = spawn(-1, 0);
  ASSERT_GT(slow, 0);
  EXPECT_FALSE(Utils::waitChild(slow, &status, 0));
  const auto start = Clock::now();
  EXPECT_FALSE(Utils::waitChild(slow, &status, 100));
  EXPECT_GE(Clock::now() - start, milliseconds(100));
  ASSERT_EQ(Utils::killGroup(slow, SIGKILL), 0);  // leads no group: its pid alone
  ASSERT_TRUE(Utils::waitChild(slow, &status, -1));
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGKILL);

  EXPECT_THROW(Utils::waitChild(slow, &status, 0), std::runtime_error);  // already reaped

  // A signal handler interrupting the wait does not end it.
  struct sigaction action = {};
  struct sigaction old = {};
  action.sa_handler = countInterrupt;  // no SA_RESTART: poll fails with EINTR
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &action, &old), 0);
  const pid_t child = spawn(400, 7);
  ASSERT_GT(child, 0);
  std::atomic<bool> done{false};
  const pthread_t waiter = pthread_self();
  std::thread interrupter([&] {
    while (!done) {
      pthread_kill(waiter, SIGUSR1);
      std::this_thread::sleep_for(milliseconds(20));
    }
  });
  const bool ended = Utils::waitChild(child, &status, 120000);
  done = true;
  interrupter.join();
  sigaction(SIGUSR1, &old, nullptr);
  ASSERT_TRUE(ended);
  EXPECT_GT(g_interrupts.load(), 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 7);
}

INSTANTIATE_TEST_SUITE_P(EventAndBackoff, ChildWait, ::testing::Bool());

}  // namespace
