#include "base/utils.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/process_runner.h"
#include "tests/support/sandbox.h"

namespace {

using Pieces = std::vector<std::string>;

TEST(UtilsSplit, FollowsTheOneSplittingRule) {
  EXPECT_EQ(Utils::split("/a/b", "/"), (Pieces{"a", "b"}));
  EXPECT_EQ(Utils::split("a//b", "/"), (Pieces{"a", "", "b"}));
  EXPECT_EQ(Utils::split("a/", "/"), (Pieces{"a"}));
  EXPECT_EQ(Utils::split("", "/"), Pieces{});
  EXPECT_EQ(Utils::split("/", "/"), Pieces{});
  EXPECT_EQ(Utils::split("//", "/"), (Pieces{""}));
  EXPECT_EQ(Utils::split("POSTD,ICAP", ","), (Pieces{"POSTD", "ICAP"}));
  EXPECT_EQ(Utils::split(":group", ":"), (Pieces{"group"}));
  EXPECT_EQ(Utils::split("user:", ":"), (Pieces{"user"}));
  // The remainder is a piece only when it is at least as long as the
  // delimiter.
  EXPECT_EQ(Utils::split("a::bc", "::"), (Pieces{"a", "bc"}));
  EXPECT_EQ(Utils::split("a::b", "::"), (Pieces{"a"}));
  EXPECT_EQ(Utils::split("a::", "::"), (Pieces{"a"}));
  EXPECT_EQ(Utils::split("a::b:", "::"), (Pieces{"a", "b:"}));
}

TEST(UtilsTrim, RemovesNonGraphicCharactersAtBothEnds) {
  EXPECT_EQ(Utils::trim("  \t value \r\n"), "value");
  EXPECT_EQ(Utils::trim("a b"), "a b");
  EXPECT_EQ(Utils::trim(" \n "), "");
  EXPECT_EQ(Utils::trim(""), "");
}

TEST(UtilsNames, CompareWithoutLetterCase) {
  Utils::NoCaseLess less;
  EXPECT_FALSE(less("Agent", "AGENT"));
  EXPECT_FALSE(less("AGENT", "agent"));
  EXPECT_TRUE(less("agent", "ICAP"));
  EXPECT_TRUE(Utils::equalsNoCase("Postd", "POSTD"));
  EXPECT_FALSE(Utils::equalsNoCase("Postd", "POSTD2"));
}

TEST(UtilsBuild, NamesThePlatformAndVersion) {
#if defined(__linux__)
  EXPECT_STREQ(Utils::osName(), "Linux");
#elif defined(__FreeBSD__)
  EXPECT_STREQ(Utils::osName(), "FreeBSD");
#endif
  EXPECT_STREQ(Utils::version(), "6.0.0.201105110");
}

TEST(UtilsPidFile, WritesPidAndAddressLinesAndRemovesTheFile) {
  kztest::TempDir dir;
  const std::string path = dir.file("a.pid");
  int fd = Utils::createPidFile(path, 4242, {"/var/run/a.sock"});
  EXPECT_EQ(kztest::readFile(path), "4242\n/var/run/a.sock\n");
  Utils::unlinkPidFile(path, fd);
  EXPECT_FALSE(kztest::fileExists(path));

  fd = Utils::createPidFile(path, 4242);
  EXPECT_EQ(kztest::readFile(path), "4242\n");
  Utils::unlinkPidFile(path, fd);
  EXPECT_THROW(Utils::unlinkPidFile(path), Utils::error);
}

// The pid file is never written through a link and ends up 0644 whatever
// the old file's mode.
TEST(UtilsPidFile, RefusesLinksAndSetsModeSixFourFour) {
  kztest::TempDir dir;
  const std::string target = dir.file("victim");
  kztest::writeFile(target, "keep\n");
  const std::string link = dir.file("link.pid");
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  EXPECT_THROW(Utils::createPidFile(link, 4242), Utils::error);
  EXPECT_EQ(kztest::readFile(target), "keep\n");

  const std::string path = dir.file("a.pid");
  kztest::writeFile(path, "");
  ASSERT_EQ(chmod(path.c_str(), 0666), 0);
  const int fd = Utils::createPidFile(path, 4242);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  Utils::unlinkPidFile(path, fd);
}

TEST(UtilsPidFile, ReplacesLongerOldContent) {
  kztest::TempDir dir;
  const std::string path = dir.file("b.pid");
  kztest::writeFile(path, "123456789\nlong old address line\n");
  int fd = Utils::createPidFile(path, 7);
  EXPECT_EQ(kztest::readFile(path), "7\n");
  Utils::unlinkPidFile(path, fd);
}

TEST(UtilsPidFile, LockHeldByAnotherProcessFailsAndKeepsContent) {
  kztest::TempDir dir;
  const std::string path = dir.file("locked.pid");
  int ready[2];
  int done[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(done), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(ready[0]);
    close(done[1]);
    try {
      Utils::createPidFile(path, getpid(), {"host:1"});
    } catch (...) {
      _exit(1);
    }
    char c = 'r';
    if (write(ready[1], &c, 1) != 1) _exit(2);
    if (read(done[0], &c, 1) < 0) _exit(3);  // hold the lock until told
    _exit(0);
  }
  close(ready[1]);
  close(done[0]);
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  const std::string before = kztest::readFile(path);
  try {
    Utils::createPidFile(path, 99);
    FAIL() << "lock held by another process was taken";
  } catch (const Utils::error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("unable to set lock for file \"" + path + "\": ", 0), 0u)
        << e.what();
  }
  EXPECT_EQ(kztest::readFile(path), before);
  EXPECT_EQ(before, std::to_string(child) + "\nhost:1\n");
  close(done[1]);
  int st = 0;
  ASSERT_EQ(Utils::waitPid(child, &st, 0), child);
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
  close(ready[0]);
}

TEST(UtilsPidFile, UnwritableDirectoryIsReported) {
  try {
    Utils::createPidFile("/nonexistent-dir/x.pid", 1);
    FAIL();
  } catch (const Utils::error& e) {
    EXPECT_EQ(std::string(e.what()),
              "error in create pid file \"/nonexistent-dir/x.pid\": No such file or directory");
  }
}

TEST(UtilsRunCommand, SuccessFailureAndStandardErrorText) {
  std::string out;
  EXPECT_TRUE(Utils::runCommand("true", out));
  EXPECT_EQ(out, "");
  out.clear();
  // Standard output is discarded; a non-zero status alone is not a failure.
  EXPECT_TRUE(Utils::runCommand("sh -c 'echo to-stdout; exit 3'", out));
  EXPECT_EQ(out, "");
  out.clear();
  EXPECT_FALSE(Utils::runCommand("sh -c 'echo first >&2; echo second >&2'", out));
  EXPECT_EQ(out, "first\nsecond\n");
}

TEST(UtilsRunCommand, LongStandardErrorIsCollectedWhole) {
  std::string out;
  EXPECT_FALSE(Utils::runCommand("sh -c \"head -c 5000 /dev/zero | tr '\\\\0' x >&2\"", out));
  EXPECT_EQ(out.size(), 5000u);
}

TEST(UtilsUsers, EmptyNamesChangeNothing) { EXPECT_FALSE(Utils::setUserAndGroup("", "")); }

TEST(UtilsUsers, UnknownNamesAreReported) {
  try {
    Utils::setUserAndGroup("", "no-such-group-kz");
    FAIL();
  } catch (const Utils::error& e) {
    EXPECT_STREQ(e.what(), "getgrnam( \"no-such-group-kz\" ) error");
  }
  try {
    Utils::setUserAndGroup("no-such-user-kz", "");
    FAIL();
  } catch (const Utils::error& e) {
    EXPECT_STREQ(e.what(), "getpwnam( \"no-such-user-kz\" ) error");
  }
}

// A user brings its primary group (never root's) unless a group is named.
TEST(UtilsUsers, AccountsTakeThePrimaryGroupUnlessOneIsNamed) {
  const struct passwd* pw = getpwnam("nobody");
  ASSERT_NE(pw, nullptr);
  const Utils::Account nobody = Utils::resolveAccount("nobody", "");
  EXPECT_TRUE(nobody.setUser && nobody.setGroup);
  EXPECT_EQ(nobody.uid, pw->pw_uid);
  EXPECT_EQ(nobody.gid, pw->pw_gid);
  EXPECT_EQ(Utils::resolveAccount("nobody", "root").gid, 0u);
  EXPECT_FALSE(Utils::resolveAccount("", "root").setUser);
}

TEST(UtilsUsers, CurrentAccountNeedsNoSwitch) {
  const std::string user = Utils::currentUserName();
  const std::string group = Utils::currentGroupName();
  ASSERT_FALSE(user.empty());
  EXPECT_TRUE(Utils::setUserAndGroup(user, group));
  EXPECT_EQ(Utils::currentUserName(), user);
}

TEST(UtilsWaitPid, ReportsAnUnknownChild) {
  int st;
  try {
    Utils::waitPid(999999, &st, 0);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "waitpid(999999, ..) error: No child processes");
  }
}

TEST(UtilsListDir, ListsFilesOnlyAndFiltersBySuffixWithExactCase) {
  kztest::TempDir dir;
  kztest::writeFile(dir.file("a.mmc"), "");
  kztest::writeFile(dir.file("b.MMC"), "");
  kztest::writeFile(dir.file("c.mmc.bak"), "");
  ASSERT_EQ(mkdir(dir.file("d.mmc").c_str(), 0755), 0);
  ASSERT_EQ(symlink(dir.file("nowhere").c_str(), dir.file("e.mmc").c_str()), 0);
  ASSERT_EQ(symlink(dir.file("f.mmc").c_str(), dir.file("f.mmc").c_str()), 0);
  auto all = Utils::listDir(dir.path() + "/");
  EXPECT_EQ(all.size(), 3u);
  auto mmc = Utils::listDir(dir.path() + "/", ".mmc");
  EXPECT_EQ(mmc, (Pieces{dir.path() + "/a.mmc"}));
  try {
    Utils::listDir(dir.path() + "/missing/");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "opendir() error: No such file or directory");
  }
}

TEST(UtilsTime, FormatsTimeOfDayAndMailDate) {
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_EQ(Utils::timeOfDay(0), "00:00:00");
  EXPECT_EQ(Utils::mailDate(1300000000), "Sun, 13 Mar 2011 07:06:40 +0000");
  EXPECT_FALSE(Utils::mailDateNow().empty());
  EXPECT_FALSE(Utils::hostName().empty());
}

TEST(UtilsFormat, CutsAtTheBufferSize) {
  EXPECT_EQ(Utils::format(5, "%s", "abcdefgh"), "abcd");
  EXPECT_EQ(Utils::format(32, "%d\n", 42), "42\n");
}

}  // namespace

TEST(UtilsCheckPath, AcceptsOnlyPathsTheShellReadsAsOneWord) {
  for (const char* good : {"/var/cache/upd-1.2_x", "/a/", "/a/b+c,d:e@f%g=h"}) {
    EXPECT_NO_THROW(Utils::checkPath(good)) << good;
  }
  const std::pair<const char*, const char*> bad[] = {
      {"", ""},       {"/", "/"},       {"rel/dir", "r"}, {"/a b", " "},
      {"/a;rm", ";"}, {"/a$(x)", "$"},  {"/a`x`", "`"},   {"/a'b", "'"},
      {"/a//b", "/"}, {"/a/../b", "."}, {"/a/./b", "."},  {"/a\nb", "\n"},
      {"/a|b", "|"},  {"/a&", "&"},     {"/a*", "*"},     {"/a>b", ">"},
  };
  for (const auto& [path, ch] : bad) {
    try {
      Utils::checkPath(path);
      ADD_FAILURE() << path;
    } catch (const Utils::error& e) {
      EXPECT_EQ(std::string(e.what()),
                std::string("path \"") + path + "\" is not correct. ch=" + ch);
    }
  }
}
