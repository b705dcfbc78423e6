#include "base/state_journal.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/sandbox.h"

namespace {

TEST(StateJournal, RecordsStartsAndEndsAndCompactsItself) {
  kztest::TempDir dir;
  const std::string path = dir.file("state");
  // A link planted under the name is replaced, never written through.
  const std::string target = dir.file("target");
  kztest::writeFile(target, "keep");
  ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
  StateJournal journal;
  ASSERT_TRUE(journal.open(path));
  EXPECT_EQ(kztest::readFile(target), "keep");
  struct stat st;
  ASSERT_EQ(lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0644u);

  journal.started(100, 5, 3, "one");
  journal.started(101, 6, 4, "two words");
  journal.ended(100);
  journal.ended(999);  // never recorded: nothing written
  std::vector<StateJournal::Entry> entries;
  std::string why;
  ASSERT_TRUE(StateJournal::readTrusted(path, entries, why)) << why;
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].pid, 101);
  EXPECT_EQ(entries[0].startTime, 6u);
  EXPECT_EQ(entries[0].stopSeconds, 4u);
  EXPECT_EQ(entries[0].name, "two?words");
  EXPECT_EQ(journal.TEST_records(), 3u);

  // Many starts and stops: the file stays within twice the live entries
  // plus slack, and still says the same.
  for (pid_t p = 200; p < 1200; ++p) {
    journal.started(p, 1, 1, "x");
    journal.ended(p);
  }
  EXPECT_LE(journal.TEST_records(), 2 * journal.liveCount() + 64);
  ASSERT_TRUE(StateJournal::readTrusted(path, entries, why));
  EXPECT_EQ(entries.size(), 1u);

  // Not trusted: writable by the group; a link.
  ASSERT_EQ(chmod(path.c_str(), 0664), 0);
  EXPECT_FALSE(StateJournal::readTrusted(path, entries, why));
  EXPECT_EQ(why, "writable by group or others");
  const std::string link = dir.file("link");
  ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
  EXPECT_FALSE(StateJournal::readTrusted(link, entries, why));
  EXPECT_FALSE(StateJournal::readTrusted(dir.file("none"), entries, why));
  EXPECT_EQ(why, "");

  journal.ended(101);  // nothing left running: a clean close removes the file
  journal.close(true);
  EXPECT_FALSE(kztest::fileExists(path));
}

TEST(StateJournal, ParseSkipsWhatItCannotRead) {
  const auto entries = StateJournal::parse(
      "+ 10 1 2 a\n+ x 1 2 b\n- 10\n+ 11 7 2 c\n* 12 1 1 d\n+ 1 1 1 init\n+ 13 1 1 torn");
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].pid, 11);
  EXPECT_EQ(entries[0].name, "c");
}

}  // namespace
