#include "monitor/updater.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/log.h"
#include "tests/support/process_runner.h"
#include "tests/support/sandbox.h"

namespace {

using korza::LogClass;

class UpdaterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(korza::monitorLog().init(dir_.file("monitor.log"), "debug", "daemon", false));
    makePackage();
  }
  // The package directories, owner-writable only.
  void makePackage() {
    chmod(pkg().c_str(), 0755);
    ASSERT_EQ(system(("mkdir -p " + pkg() + "/unix/scripts " + pkg() + "/usr/local/korza").c_str()),
              0);
  }
  void TearDown() override { LogClass::closeFile(); }
  std::string log() {
    LogClass::flush();
    return kztest::readFile(dir_.file("monitor.log"));
  }
  // The pre-update script: `body` after the line recording its arguments.
  void preScript(const std::string& body) {
    kztest::writeFile(script(), "#!/bin/sh\nprintf '%s\\n' \"$#\" \"$@\" > " + rec() + "\n" + body,
                      0644);
  }
  std::string pkg() const { return dir_.file("pkg"); }
  std::string script() const { return pkg() + "/unix/scripts/pre-update.sh"; }
  std::string rec() const { return dir_.file("rec"); }

  kztest::TempDir dir_;
  Updater updater_;
};

TEST_F(UpdaterTest, PreUpdatePassesEveryValueAsOneArgument) {
  preScript("");
  struct Case {
    std::string second, fifth, recorded;
  } cases[] = {
      {"two", "", "5\n" + pkg() + "\ntwo\n44\n10\nmta\n"},
      {"it's; $(x)", "u:g", "6\n" + pkg() + "\nit's; $(x)\n44\n10\nmta\nu:g\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(updater_.PreUpdate(pkg(), c.second, "20-kzrunix", "mta", c.fifth),
              Updater::Result(true, ""));
    EXPECT_EQ(kztest::readFile(rec()), c.recorded);
    EXPECT_TRUE(updater_.pending());
  }
  struct stat st;
  ASSERT_EQ(stat(script().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0770u);
  EXPECT_THAT(log(), HasSubstr("pre-update process successful"));
}

TEST_F(UpdaterTest, FailuresAreReportedAndOnlyATrustedPackageIsRemoved) {
  struct Case {
    const char* what;
    std::function<void()> prepare;
    std::string directory;
    std::string reason;
    bool removed;
  } cases[] = {
      {"error output", [&] { preScript("echo oops >&2\n"); }, pkg(), "oops\n", true},
      {"world-writable", [&] { preScript(""), chmod(pkg().c_str(), 0757); }, pkg(),
       "update package path \"" + pkg() + "\" is not trusted: it is writable by others", false},
      {"no script", [] {}, pkg(),
       "update package path \"" + script() +
           "\" is not trusted: it cannot be examined: No such file or directory",
       false},
      {"shell text", [] {}, pkg() + ";true", "path \"" + pkg() + ";true\" is not correct. ch=;",
       false},
  };
  for (const auto& c : cases) {
    unlink(script().c_str());
    makePackage();
    c.prepare();
    const Updater::Result result = updater_.PreUpdate(c.directory, "two", "20-kzrunix", "m", "");
    EXPECT_EQ(result, Updater::Result(false, "pre-update process error because of " + c.reason))
        << c.what;
    EXPECT_EQ(kztest::fileExists(pkg()), !c.removed) << c.what;
    EXPECT_FALSE(updater_.pending()) << c.what;
  }
  const std::string text = log();
  EXPECT_THAT(text, HasSubstr("pre-update process unsuccessful"));
  EXPECT_EQ(kztest::countOf(text, "remove cache directory \"" + pkg() + "\""), 1u);
}

TEST_F(UpdaterTest, UpdateStepRunsThePostUpdateScriptOfTheKnownProductOnly) {
  preScript("");
  const std::string done = dir_.file("done");
  kztest::writeFile(pkg() + "/usr/local/korza/post-update.sh", "echo \"$@\" > " + done + "\n");
  updater_.update();  // nothing pending: nothing happens
  EXPECT_THAT(log(), Not(HasSubstr("update process")));

  ASSERT_TRUE(updater_.PreUpdate(pkg(), "two", "other", "m", "").first);
  updater_.update();
  EXPECT_FALSE(updater_.pending());
  EXPECT_THAT(log(), HasSubstr("cannot update: unknown product \"other\""));

  ASSERT_TRUE(updater_.PreUpdate(pkg(), "two", Updater::kProduct, "m", "").first);
  updater_.update();
  EXPECT_FALSE(updater_.pending());
  EXPECT_TRUE(kztest::waitFor([&] { return kztest::readFile(done) == pkg() + " two\n"; }));
  EXPECT_THAT(log(), HasSubstr("update process successful"));
  EXPECT_THAT(log(), HasSubstr("exec update cmd: sh " + pkg() + "/usr/local/korza/post-update.sh " +
                               pkg() + " 'two' &"));
}

}  // namespace
