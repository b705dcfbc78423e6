#include "monitor/updater.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <future>
#include <thread>

#include "apps/run_state.h"
#include "base/utils.h"
#include "monitor/updater_internal.h"
#include "tests/support/log_capture.h"
#include "tests/support/process_runner.h"
#include "tests/support/sandbox.h"

namespace {

class UpdaterTest : public ::testing::Test {
 protected:
  // Whatever an earlier test in this process left, the monitor is not
  // stopping: a stop kills the scripts.
  void SetUp() override {
    RunState::set(RunState::INIT);
    makePackage();
  }
  // The package directories, owner-writable only.
  void makePackage() {
    chmod(pkg().c_str(), 0755);
    ASSERT_EQ(system(("mkdir -p " + pkg() + "/unix/scripts " + pkg() + "/usr/local/korza").c_str()),
              0);
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
  LogCapture log_;
  Updater updater_;
};

// The plain case runs through the daemon; here shell text in a value.
TEST_F(UpdaterTest, PreUpdatePassesEveryValueAsOneArgument) {
  preScript("");
  EXPECT_EQ(updater_.PreUpdate(pkg(), "it's; $(x)", "20-kzrunix", "mta", "u:g"),
            Updater::Result(true, ""));
  EXPECT_EQ(kztest::readFile(rec()), "6\n" + pkg() + "\nit's; $(x)\n44\n10\nmta\nu:g\n");
  EXPECT_TRUE(updater_.pending());
  struct stat st;
  ASSERT_EQ(stat(script().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0750u);
  EXPECT_THAT(log_.text(), HasSubstr("pre-update process successful"));
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
           "\" is not trusted: it cannot be opened: No such file or directory",
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
  const std::string text = log_.text();
  EXPECT_THAT(text, HasSubstr("pre-update process unsuccessful"));
  EXPECT_EQ(kztest::countOf(text, "remove cache directory \"" + pkg() + "\""), 1u);
}

TEST_F(UpdaterTest, UpdateStepRunsThePostUpdateScriptOfTheKnownProductOnly) {
  preScript("");
  const std::string done = dir_.file("done");
  kztest::writeFile(pkg() + "/usr/local/korza/post-update.sh", "echo \"$@\" > " + done + "\n");
  updater_.update();  // nothing pending: nothing happens
  EXPECT_THAT(log_.text(), Not(HasSubstr("update process")));

  ASSERT_TRUE(updater_.PreUpdate(pkg(), "two", "other", "m", "").first);
  updater_.update();
  EXPECT_FALSE(updater_.pending());
  EXPECT_THAT(log_.text(), HasSubstr("cannot update: unknown product \"other\""));

  ASSERT_TRUE(updater_.PreUpdate(pkg(), "two", Updater::kProduct, "m", "").first);
  updater_.update();
  EXPECT_FALSE(updater_.pending());
  EXPECT_TRUE(kztest::waitFor([&] { return kztest::readFile(done) == pkg() + " two\n"; }));
  EXPECT_THAT(log_.text(), HasSubstr("update process successful"));
  EXPECT_THAT(log_.text(), HasSubstr("exec update cmd: sh " + pkg() +
                                     "/usr/local/korza/post-update.sh " + pkg() + " two &"));

  // The package is checked again for the update step.
  unlink(done.c_str());
  ASSERT_TRUE(updater_.PreUpdate(pkg(), "two", Updater::kProduct, "m", "").first);
  chmod((pkg() + "/usr/local/korza").c_str(), 0775);
  updater_.update();
  EXPECT_THAT(log_.text(),
              HasSubstr("cannot update: update package path \"" + pkg() +
                        "/usr/local/korza\" is not trusted: it is writable by its group"));
  EXPECT_FALSE(kztest::fileExists(done));
}

// Alive and not a zombie waiting for a reaper.
bool alive(pid_t pid) {
  const std::string stat = kztest::readFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t paren = stat.rfind(')');
  if (paren != std::string::npos && paren + 2 < stat.size()) return stat[paren + 2] != 'Z';
  return kztest::processExists(pid);
}

uid_t nobody() {
  const struct passwd* pw = getpwnam("nobody");
  return pw == nullptr ? 65534 : pw->pw_uid;
}

// Every step from "/" counts: a link anywhere, a trailing "/" that would
// follow one, a directory or script someone else owns or may write.
TEST_F(UpdaterTest, ATrustedPackageIsWalkedFromTheRootWithoutFollowingLinks) {
  preScript("echo ran > " + dir_.file("ran") + "\n");
  const std::string a = dir_.file("a"), b = dir_.file("b"), s = dir_.file("s");
  for (const auto& d : {a, b, s}) ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
  ASSERT_EQ(chown(a.c_str(), nobody(), 0), 0);
  ASSERT_EQ(chown(s.c_str(), nobody(), 0), 0);
  ASSERT_EQ(chmod(s.c_str(), 01777), 0);
  for (const auto& d : {a, b, s}) ASSERT_EQ(symlink(pkg().c_str(), (d + "/l").c_str()), 0);
  const auto refused = [](const std::string& path, const std::string& why) {
    return "pre-update process error because of update package path \"" + path +
           "\" is not trusted: " + why;
  };
  const std::string by_nobody = "it is owned by uid " + std::to_string(nobody());
  struct Case {
    std::string directory, reason;
    std::function<void()> prepare;
  } cases[] = {
      {a + "/l", refused(a, by_nobody), [] {}},
      {a + "/l/", refused(a + "/l/", "it has an empty component or a trailing \"/\""), [] {}},
      {b + "/l", refused(b + "/l", "it is a symbolic link"), [] {}},
      {s + "/l", refused(s, by_nobody), [] {}},
      {pkg(), refused(script(), "it is writable by its group"),
       [&] { chmod(script().c_str(), 0664); }},
      {pkg(), refused(script(), by_nobody), [&] { chown(script().c_str(), nobody(), 0); }},
      {pkg(), refused(pkg() + "/unix", "it is writable by others"),
       [&] { chmod((pkg() + "/unix").c_str(), 0757); }},
      {pkg(), refused(dir_.path(), "it is writable by others"),
       [&] { chmod(dir_.path().c_str(), 0707); }},
  };
  for (const auto& c : cases) {
    c.prepare();
    EXPECT_EQ(updater_.PreUpdate(c.directory, "two", "20-kzrunix", "m", "").second, c.reason)
        << c.directory;
    EXPECT_TRUE(kztest::fileExists(script())) << c.directory;
    chmod(dir_.path().c_str(), 0700);
    chmod((pkg() + "/unix").c_str(), 0755);
    chmod(script().c_str(), 0644);
    chown(script().c_str(), 0, 0);
  }
  EXPECT_FALSE(kztest::fileExists(dir_.file("ran")));
  // The temporary directory's sticky, root-owned, world-writable ancestor
  // is accepted.
  struct stat tmp;
  ASSERT_EQ(stat(dir_.path().substr(0, dir_.path().rfind('/')).c_str(), &tmp), 0);
  if (tmp.st_uid == 0 && (tmp.st_mode & 01002) == 01002) {
    EXPECT_TRUE(updater_.PreUpdate(pkg(), "two", "20-kzrunix", "m", "").first);
  }
}

// What was verified is what runs and what is removed: a package renamed
// away and replaced after the walk changes neither.
TEST_F(UpdaterTest, ASwapAfterTheWalkReachesNeitherTheRunNorTheRemoval) {
  preScript("echo first > " + dir_.file("ran") + "\n");
  ASSERT_EQ(chmod(script().c_str(), 0755), 0);
  const updater_internal::Package package =
      updater_internal::verifyPackage(pkg(), "unix/scripts/pre-update.sh");
  ASSERT_EQ(rename(pkg().c_str(), dir_.file("old").c_str()), 0);
  makePackage();
  preScript("echo second > " + dir_.file("ran") + "\n");
  std::string errors;
  EXPECT_EQ(Utils::runBounded(package.scriptDir.get(), "./pre-update.sh", {"./pre-update.sh"},
                              errors, std::chrono::seconds(30), nullptr),
            Utils::RunEnd::kExited);
  EXPECT_EQ(errors, "");
  EXPECT_EQ(kztest::readFile(dir_.file("ran")), "first\n");
  std::string why;
  EXPECT_FALSE(updater_internal::removePackage(package, why));
  EXPECT_EQ(why, "\"" + pkg() + "\" was replaced meanwhile");
  EXPECT_TRUE(kztest::fileExists(script()));
  EXPECT_FALSE(kztest::fileExists(dir_.file("old") + "/unix"));
}

// A script that leaves a process holding its standard error is judged at
// its exit; one that runs too long, or while the daemon stops, is killed
// with its process group.
TEST_F(UpdaterTest, ARunawayScriptNeitherHoldsNorOutlivesThePreUpdate) {
  const std::string child = dir_.file("child");
  const auto childPid = [&] { return atoi(kztest::readFile(child).c_str()); };
  const auto run = [&](Updater& updater) {
    auto done = std::async(std::launch::async,
                           [&] { return updater.PreUpdate(pkg(), "two", "20-kzrunix", "m", ""); });
    EXPECT_EQ(done.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    return done.get();
  };
  preScript("sleep 45 &\necho $! > " + child + "\n");
  EXPECT_TRUE(run(updater_).first);
  EXPECT_TRUE(alive(childPid()));
  kill(childPid(), SIGKILL);

  Updater limited(std::chrono::milliseconds(1500));
  preScript("sleep 45 &\necho $! > " + child + "\nwait\n");
  EXPECT_EQ(run(limited).second, "pre-update process error because of script \"" + script() +
                                     "\" ran longer than 1 seconds and was killed");
  EXPECT_TRUE(kztest::waitFor([&] { return !alive(childPid()); }));
  EXPECT_FALSE(kztest::fileExists(pkg()));

  makePackage();
  preScript("sleep 45 &\necho $! > " + child + "\nwait\n");
  unlink(child.c_str());
  std::thread stopper([&] {
    kztest::waitFor([&] { return childPid() > 0; });
    RunState::set(RunState::STOPPED);
  });
  const Updater::Result result = run(updater_);
  stopper.join();
  RunState::set(RunState::INIT);
  EXPECT_EQ(result.second, "pre-update process error because of script \"" + script() +
                               "\" was killed: the monitor is stopping");
  EXPECT_TRUE(kztest::waitFor([&] { return !alive(childPid()); }));
}

TEST_F(UpdaterTest, UntrustedValuesCannotForgeALogLine) {
  const std::string forged = "\n12:00:00 [1] monitor ALERT forged";
  updater_.PreUpdate(pkg() + forged, "two" + forged, "20-kzrunix", "m", "");
  const std::string text = log_.text();
  EXPECT_THAT(text, HasSubstr("\\n12:00:00 [1] monitor ALERT forged"));
  EXPECT_THAT(text, Not(HasSubstr("\n12:00:00 [1] monitor ALERT forged")));
}

}  // namespace
