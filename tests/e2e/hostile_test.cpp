// End-to-end tests of the update request against a hostile local account:
// the attacker's steps run as `nobody`, the daemon as root.
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>

#include "tests/support/daemon_sandbox.h"
#include "tests/support/process_runner.h"

namespace {

using kztest::DaemonSandbox;
using kztest::RunResult;

const std::string kCtl = KZ_BIN_DIR "/korza-ctl";

class Hostile : public ::testing::Test {
 protected:
  void SetUp() override {
    sb_.addApplication({"AGENT", {}, {sb_.component("agent")}});
    sb_.settings["Logging/Level"] = "info";
    sb_.startAndWait();
    ASSERT_EQ(system(("mkdir -p " + pkg() + "/unix/scripts").c_str()), 0);
  }
  std::vector<std::string> ctlArgs(const std::vector<std::string>& args) {
    std::vector<std::string> argv{kCtl, "-c", sb_.confFile(), "-t", "20"};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
  }
  RunResult ctl(const std::vector<std::string>& args) { return kztest::runProgram(ctlArgs(args)); }
  // Runs a shell command as nobody.
  void asNobody(const std::string& command) {
    EXPECT_EQ(
        kztest::runProgram({"/usr/sbin/runuser", "-u", "nobody", "--", "/bin/sh", "-c", command})
            .status,
        0)
        << command;
  }
  void script(const std::string& body) {
    kztest::writeFile(pkg() + "/unix/scripts/pre-update.sh", "#!/bin/sh\n" + body);
  }
  std::string pkg() { return sb_.root() + "/pkg"; }
  std::string refused(const std::string& path, const std::string& why) {
    return "korza-ctl: update refused: pre-update process error because of update package path "
           "\"" +
           path + "\" is not trusted: " + why + "\n";
  }

  DaemonSandbox sb_;
};

// A directory of nobody's holding a link to root's package: neither the
// link nor the link with a trailing "/" runs root's script, and the package
// stays.
TEST_F(Hostile, ALinkInAnUntrustedDirectoryReachesNoPackage) {
  if (access("/usr/sbin/runuser", X_OK) != 0) GTEST_SKIP() << "no runuser";
  const std::string ran = sb_.root() + "/ran";
  script("echo ran > " + ran + "\n");
  const std::string a = "/tmp/kz-hostile-" + std::to_string(getpid());
  asNobody("mkdir -m 755 " + a + " && ln -s " + pkg() + " " + a + "/l");
  const std::string nobody_uid = std::to_string(getpwnam("nobody")->pw_uid);
  RunResult r = ctl({"update", a + "/l", "two", "20-kzrunix"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, refused(a, "it is owned by uid " + nobody_uid));
  r = ctl({"update", a + "/l/", "two", "20-kzrunix"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, refused(a + "/l/", "it has an empty component or a trailing \"/\""));
  EXPECT_FALSE(kztest::fileExists(ran));
  EXPECT_TRUE(kztest::fileExists(pkg() + "/unix/scripts/pre-update.sh"));
  EXPECT_EQ(system(("rm -rf " + a).c_str()), 0);
}

// A script that leaves a process holding its standard error is answered at
// its exit; a script that never ends does not hold up SIGTERM.
TEST_F(Hostile, ARunawayScriptHoldsNeitherTheAnswerNorTheShutdown) {
  const std::string child = sb_.root() + "/child";
  script("sleep 45 &\necho $! > " + child + "\n");
  EXPECT_EQ(ctl({"update", pkg(), "two", "20-kzrunix"}).status, 0);
  const pid_t leftover = atoi(kztest::readFile(child).c_str());
  EXPECT_GT(leftover, 0);
  if (leftover > 0) kill(leftover, SIGKILL);

  script("echo started > " + child + "\nsleep 45\n");
  kztest::Background request(ctlArgs({"update", pkg(), "two", "20-kzrunix"}), sb_.root() + "/out",
                             sb_.root() + "/err");
  ASSERT_TRUE(kztest::waitFor([&] { return kztest::readFile(child) == "started\n"; }));
  EXPECT_EQ(sb_.stopWith(SIGTERM, std::chrono::seconds(20)), 0) << sb_.log();
  EXPECT_TRUE(sb_.waitForLog("was killed: the monitor is stopping")) << sb_.log();
}

// Values from a request cannot forge a line of the log.
TEST_F(Hostile, ARequestCannotForgeALogLine) {
  const std::string forged = "\nMon Dec  7 12:00:00 2026 [0x1] monitor ALERT forged";
  EXPECT_EQ(ctl({"update", "/tmp/x" + forged, "two", "20-kzrunix"}).status, 1);
  EXPECT_TRUE(sb_.waitForLog("pre-update process unsuccessful"));
  EXPECT_THAT(sb_.log(), HasSubstr("/tmp/x\\nMon Dec  7 12:00:00 2026"));
  EXPECT_THAT(sb_.log(), Not(HasSubstr(forged)));
}

}  // namespace
