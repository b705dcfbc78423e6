#include "base/event_poller.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "tests/support/pipe.h"

namespace {

using kztest::Pipe;

std::vector<int> sorted(std::vector<int> v) {
  std::sort(v.begin(), v.end());
  return v;
}

// Both the platform's kernel list and the poll() stand-in.
class EventPollerTest : public ::testing::TestWithParam<bool> {};

TEST_P(EventPollerTest, ReportsInputAndEndOfFileUntilRemoved) {
  korza::EventPoller poller(GetParam());
  Pipe quiet, talking, dead;
  for (const Pipe* p : {&quiet, &talking, &dead}) ASSERT_TRUE(poller.add(p->fds[0]));
  EXPECT_TRUE(poller.add(quiet.fds[0]));  // twice is once
  EXPECT_EQ(poller.size(), 3u);
  std::vector<int> ready;
  EXPECT_EQ(poller.wait(0, ready), 0);
  EXPECT_TRUE(ready.empty());

  ASSERT_EQ(write(talking.fds[1], "x", 1), 1);
  dead.closeEnd(1);
  EXPECT_EQ(poller.wait(1000, ready), 2);
  EXPECT_EQ(sorted(ready), sorted({talking.fds[0], dead.fds[0]}));
  // Level-triggered: still reported while nothing is read.
  EXPECT_EQ(poller.wait(0, ready), 2);

  poller.remove(dead.fds[0]);
  poller.remove(dead.fds[0]);
  EXPECT_FALSE(poller.watches(dead.fds[0]));
  EXPECT_EQ(poller.wait(0, ready), 1);
  EXPECT_EQ(ready, std::vector<int>{talking.fds[0]});
  EXPECT_FALSE(poller.add(-1));
}

TEST_P(EventPollerTest, AReusedNumberIsWatchedAfreshAndManyAreCheap) {
  korza::EventPoller poller(GetParam());
  std::vector<std::unique_ptr<Pipe>> pipes;
  for (int i = 0; i < 300; ++i) {
    pipes.emplace_back(new Pipe);
    ASSERT_TRUE(poller.add(pipes.back()->fds[0]));
  }
  // Removed before closing, then the number comes back for a new pipe.
  const int number = pipes[17]->fds[0];
  poller.remove(number);
  pipes[17].reset();
  Pipe reused;
  ASSERT_EQ(reused.fds[0], number);
  ASSERT_TRUE(poller.add(reused.fds[0]));
  std::vector<int> ready;
  EXPECT_EQ(poller.wait(0, ready), 0);
  reused.closeEnd(1);
  pipes[250]->closeEnd(1);
  EXPECT_EQ(poller.wait(1000, ready), 2);
  EXPECT_EQ(sorted(ready), sorted({number, pipes[250]->fds[0]}));
}

INSTANTIATE_TEST_SUITE_P(Mechanisms, EventPollerTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "Portable" : "Native");
                         });

}  // namespace
