// The standard-error collector on plain pipes: line cutting, the last line
// of a pipe without its newline, and the last words given back by finish().
#include "apps/stderr_collector.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "apps/launch.h"
#include "tests/apps/apps_fixture.h"

namespace {

class StderrCollectorTest : public kztest::AppsTest {
 protected:
  void TearDown() override {
    collector_.shutdown();
    kztest::AppsTest::TearDown();
  }
  StderrCollector collector_;
};

TEST_F(StderrCollectorTest, CutsLongLinesEscapesAndKeepsTheLastWords) {
  int quiet[2];
  int talker[2];
  ASSERT_TRUE(Launch::makePipe(quiet));
  ASSERT_TRUE(Launch::makePipe(talker));
  ASSERT_TRUE(collector_.watch(quiet[0], 41, "quiet"));
  ASSERT_TRUE(collector_.watch(talker[0], 42, "talker"));
  const std::string text = std::string(3000, 'a') + "\nbell\a\n\n" + "last words";
  ASSERT_TRUE(Utils::writeAll(talker[1], text));
  close(talker[1]);
  const std::string tag = "component \"talker\" (pid 42): ";
  ASSERT_TRUE(
      kztest::waitFor([&] { return log().find(tag + "bell\\x07\n") != std::string::npos; }));
  EXPECT_NE(log().find(tag + std::string(1023 - tag.size(), 'a') + "\n"), std::string::npos);

  // The line without its newline is logged when the pipe is let go, and is
  // what the component said last.
  EXPECT_EQ(collector_.finish(talker[0]), "last words");
  EXPECT_NE(log().find(tag + "last words\n"), std::string::npos);
  EXPECT_EQ(kztest::countOf(log(), tag), 3u);   // the empty line is not logged
  EXPECT_EQ(collector_.finish(talker[0]), "");  // once only

  // A pipe that said nothing has no last words; after a shutdown the
  // collector still lets go of what it holds, and starts again on demand.
  collector_.shutdown();
  EXPECT_EQ(collector_.finish(quiet[0]), "");
  close(quiet[1]);
  ASSERT_TRUE(Launch::makePipe(quiet));
  ASSERT_TRUE(collector_.watch(quiet[0], 43, "again"));
  ASSERT_TRUE(Utils::writeAll(quiet[1], "back\n"));
  ASSERT_TRUE(kztest::waitFor(
      [&] { return log().find("component \"again\" (pid 43): back\n") != std::string::npos; }));
  EXPECT_EQ(collector_.watched(), 1u);
  EXPECT_EQ(collector_.finish(quiet[0]), "back");
  close(quiet[1]);
  EXPECT_EQ(collector_.watched(), 0u);
}

}  // namespace
