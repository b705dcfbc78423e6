#include "apps/informer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>

#include "apps/notification_context.h"
#include "tests/support/log_capture.h"
#include "tests/support/process_runner.h"
#include "tests/support/sandbox.h"

namespace {

class InformerTest : public ::testing::Test {
 protected:
  void TearDown() override {
    NotificationContext::release();
    setInjectCmd("/usr/sbin/sendmail -t");
    CmdInformer::TEST_setTimeLimit(30000);
  }

  kztest::TempDir dir_;
  LogCapture log_;
};

TEST_F(InformerTest, CommandThatNeverEndsIsKilledAtTheLimit) {
  CmdInformer::TEST_setTimeLimit(300);
  const std::string pidfile = dir_.file("pid");
  // exec makes the shell itself the sleeping process, so the kill reaches it.
  CmdInformer informer("echo $$ > '" + pidfile + "'; exec sleep 60");
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(informer.inform("text"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  const std::string log = log_.text();
  EXPECT_THAT(log, HasSubstr("terminated by signal9"));
  const pid_t pid = std::stoi(kztest::readFile(pidfile));
  EXPECT_FALSE(kztest::processExists(pid));
}

// The command and the mail command get nothing of the daemon: no blocked
// signal (the daemon blocks them in every thread) and no descriptor beyond
// the standard ones.
TEST_F(InformerTest, CommandsRunWithAnEmptySignalMaskAndNoInheritedDescriptor) {
  if (access("/proc/self/status", R_OK) != 0) GTEST_SKIP() << "needs /proc";
  sigset_t blocked, old;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGHUP);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &blocked, &old), 0);
  const int stray = open("/dev/null", O_RDONLY);  // not close-on-exec
  ASSERT_GE(stray, 3);
  for (const bool mail : {false, true}) {
    const std::string out = dir_.file(mail ? "mail-env" : "cmd-env");
    const std::string command = "cat >/dev/null; grep SigBlk /proc/self/status > '" + out +
                                ".tmp'; ls /proc/self/fd | tr '\\n' ' ' >> '" + out +
                                ".tmp'; mv '" + out + ".tmp' '" + out + "'";
    if (mail) {
      setInjectCmd(command);
      EXPECT_TRUE(SenderInformer().inform("text"));
    } else {
      EXPECT_TRUE(CmdInformer(command).inform("text"));
    }
    ASSERT_TRUE(kztest::waitFor([&] { return kztest::fileExists(out); }));
    const std::string seen = kztest::readFile(out);
    EXPECT_THAT(seen, HasSubstr("SigBlk:\t0000000000000000")) << mail << seen;
    // ls lists its own descriptors: the standard ones and its directory.
    EXPECT_EQ(seen.substr(seen.find('\n')), "\n0 1 2 3 ") << mail << seen;
  }
  close(stray);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

// Without addresses the mail goes to the local administrator.
TEST_F(InformerTest, MailHeaderAddsFromAndToLinesAndAFailureIsLogged) {
  const std::string out = dir_.file("mail");
  setInjectCmd("cat > '" + out + "'");
  for (const bool addresses : {false, true}) {
    if (addresses) {
      NotificationContext::setMailAddresses("filter@example.org", "admin@example.org");
    }
    EXPECT_TRUE(SenderInformer().inform("Subject: x\n\nbody"));
    const std::string want =
        addresses ? "From:filter@example.org\nTo:admin@example.org\n" : "To:root@localhost\n";
    EXPECT_TRUE(kztest::waitFor([&] {
      return kztest::readFile(out) == want + "Subject: x\n\nbody";
    })) << kztest::readFile(out);
  }
  EXPECT_TRUE(kztest::waitFor(
      [&] { return log_.text().find("Informed successfully") != std::string::npos; }));
  // A failing mail command is logged; the notice itself was handed over.
  setInjectCmd("cat >/dev/null; exit 3");
  EXPECT_TRUE(SenderInformer().inform("body"));
  EXPECT_TRUE(kztest::waitFor([&] {
    return log_.text().find("Informer exited with status: 3") != std::string::npos;
  })) << log_.text();
}

}  // namespace
