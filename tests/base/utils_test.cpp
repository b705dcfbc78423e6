#include "base/utils.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/sandbox.h"

namespace {

using Pieces = std::vector<std::string>;

TEST(UtilsText, SplitTrimAndCaseFreeNames) {
  const std::pair<const char*, Pieces> splits[] = {
      {"/a/b", {"a", "b"}}, {"a//b", {"a", "", "b"}}, {"a/", {"a"}}, {"", {}}, {"/", {}},
      {"//", {""}},
  };
  for (const auto& [text, pieces] : splits) EXPECT_EQ(Utils::split(text, "/"), pieces) << text;
  EXPECT_EQ(Utils::trim("  \t value \r\n"), "value");
  EXPECT_EQ(Utils::trim(" \n "), "");
  // The remainder is a piece only when it is at least as long as the delimiter.
  EXPECT_EQ(Utils::split("a::bc", "::"), (Pieces{"a", "bc"}));
  EXPECT_EQ(Utils::split("a::b", "::"), (Pieces{"a"}));
  EXPECT_FALSE(Utils::equalsNoCase("Postd", "POSTD2"));
}

// The pid file is never written through a link, ends up 0644 and replaces
// longer old content.
TEST(UtilsPidFile, WritesReplacesAndRemovesTheFile) {
  kztest::TempDir dir;
  const std::string path = dir.file("a.pid");
  kztest::writeFile(path, "123456789\nlong old address line\n");
  ASSERT_EQ(chmod(path.c_str(), 0666), 0);
  int fd = Utils::createPidFile(path, 4242, {"/var/run/a.sock"});
  EXPECT_EQ(kztest::readFile(path), "4242\n/var/run/a.sock\n");
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  Utils::unlinkPidFile(path, fd);
  EXPECT_FALSE(kztest::fileExists(path));
  EXPECT_THROW(Utils::unlinkPidFile(path), Utils::error);

  const std::string target = dir.file("victim");
  kztest::writeFile(target, "keep\n");
  ASSERT_EQ(symlink(target.c_str(), dir.file("link.pid").c_str()), 0);
  EXPECT_THROW(Utils::createPidFile(dir.file("link.pid"), 4242), Utils::error);
  EXPECT_EQ(kztest::readFile(target), "keep\n");
  EXPECT_EQ(kztest::errorOf([] { Utils::createPidFile("/nonexistent-dir/x.pid", 1); }),
            "error in create pid file \"/nonexistent-dir/x.pid\": No such file or directory");
}

TEST(UtilsPidFile, LockHeldByAnotherProcessFailsAndKeepsContent) {
  kztest::TempDir dir;
  const std::string path = dir.file("locked.pid");
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {  // holds the lock until killed
    try {
      Utils::createPidFile(path, getpid(), {"host:1"});
    } catch (...) {
      _exit(1);
    }
    if (write(ready[1], "r", 1) == 1) pause();
    _exit(2);
  }
  close(ready[1]);
  char c;
  EXPECT_EQ(read(ready[0], &c, 1), 1);
  close(ready[0]);
  EXPECT_EQ(kztest::errorOf([&] {
              Utils::createPidFile(path, 99);
            }).rfind("unable to set lock for file \"" + path + "\": ", 0),
            0u);
  EXPECT_EQ(kztest::readFile(path), std::to_string(child) + "\nhost:1\n");
  kill(child, SIGKILL);
  int st = 0;
  ASSERT_EQ(Utils::waitPid(child, &st, 0), child);
  EXPECT_EQ(kztest::errorOf([&] { Utils::waitPid(999999, &st, 0); }),
            "waitpid(999999, ..) error: No child processes");
}

// Unknown names fail closed; a user brings its primary group (never root's)
// unless a group is named.
TEST(UtilsUsers, AccountsAndLookupErrors) {
  EXPECT_FALSE(Utils::setUserAndGroup("", ""));
  EXPECT_EQ(kztest::errorOf([] { Utils::setUserAndGroup("", "no-such-group-kz"); }),
            "getgrnam( \"no-such-group-kz\" ) error");
  EXPECT_EQ(kztest::errorOf([] { Utils::setUserAndGroup("no-such-user-kz", ""); }),
            "getpwnam( \"no-such-user-kz\" ) error");
  EXPECT_EQ(kztest::errorOf([] { Utils::resolveAccount("no-such-user-kz", ""); }),
            "getpwnam( \"no-such-user-kz\" ) error");
  const struct passwd* pw = getpwnam("nobody");
  ASSERT_NE(pw, nullptr);
  const Utils::Account nobody = Utils::resolveAccount("nobody", "");
  EXPECT_TRUE(nobody.setUser && nobody.setGroup);
  EXPECT_EQ(nobody.uid, pw->pw_uid);
  EXPECT_EQ(nobody.gid, pw->pw_gid);
  EXPECT_EQ(Utils::resolveAccount("nobody", "root").gid, 0u);
  EXPECT_FALSE(Utils::resolveAccount("", "root").setUser);
  EXPECT_TRUE(Utils::setUserAndGroup(Utils::currentUserName(), Utils::currentGroupName()));
}

TEST(UtilsListDir, ListsFilesOnlyAndFiltersBySuffixWithExactCase) {
  kztest::TempDir dir;
  for (const char* name : {"a.mmc", "b.MMC", "c.mmc.bak"}) kztest::writeFile(dir.file(name), "");
  ASSERT_EQ(mkdir(dir.file("d.mmc").c_str(), 0755), 0);
  ASSERT_EQ(symlink(dir.file("nowhere").c_str(), dir.file("e.mmc").c_str()), 0);
  EXPECT_EQ(Utils::listDir(dir.path() + "/").size(), 3u);
  EXPECT_EQ(Utils::listDir(dir.path() + "/", ".mmc"), (Pieces{dir.path() + "/a.mmc"}));
  EXPECT_EQ(kztest::errorOf([&] { Utils::listDir(dir.path() + "/missing/"); }),
            "opendir() error: No such file or directory");
}

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
    EXPECT_EQ(kztest::errorOf([p = path] { Utils::checkPath(p); }),
              std::string("path \"") + path + "\" is not correct. ch=" + ch);
  }
}

TEST(UtilsText, PrintableEscapesEveryControlByte) {
  EXPECT_EQ(Utils::printable("ok /a-b"), "ok /a-b");
  EXPECT_EQ(Utils::printable(std::string("a\nALERT\r\t\x7f\x01\0z", 13)),
            "a\\nALERT\\x0d\\x09\\x7f\\x01\\x00z");
}

}  // namespace
