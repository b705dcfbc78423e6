#include "apps/launch.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "apps/comp_strategy.h"
#include "apps/component.h"
#include "tests/apps/apps_fixture.h"

namespace {

using kztest::readFile;

// The value of a "Key:\t..." line of /proc/PID/status, tabs as blanks and
// without the trailing blank.
std::string statusField(pid_t pid, const std::string& key) {
  std::istringstream in(readFile("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(in, line);) {
    if (line.compare(0, key.size() + 1, key + ":") != 0) continue;
    std::string value = line.substr(key.size() + 1);
    for (char& c : value) c = c == '\t' ? ' ' : c;
    while (!value.empty() && value.back() == ' ') value.pop_back();
    while (!value.empty() && value.front() == ' ') value.erase(0, 1);
    return value;
  }
  return "";
}

int run(const std::string& command) {
  return std::system(("{ " + command + "; } >/dev/null 2>&1").c_str());
}

// The account database is locked while another test changes it: retried.
int runRetried(const std::string& command) {
  int rc = run(command);
  for (int i = 0; i < 50 && rc != 0; ++i) {
    usleep(100 * 1000);
    rc = run(command);
  }
  return rc;
}

// A user of the test's own with a supplementary group, named after the test
// instance (instances run in parallel); removed also when an assertion ends
// the test.
struct AccountGuard {
  explicit AccountGuard(const std::string& suffix)
      : user("kzlt-user-" + suffix), extra("kzlt-extra-" + suffix) {
    remove();
  }
  ~AccountGuard() { remove(); }
  void remove() const {
    runRetried("userdel " + user + " || ! id " + user);
    runRetried("groupdel " + extra + " || ! getent group " + extra);
  }
  const std::string user;
  const std::string extra;
};

// Both kinds of child (shared with the daemon until exec, and forked) take
// the same steps; the parameter forces the fork.
class LaunchTest : public kztest::AppsTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    kztest::AppsTest::SetUp();
    if (!GetParam() && !Launch::sharedStart()) GTEST_SKIP() << "no shared start here";
    Launch::TEST_forceFork(GetParam());
  }
  void TearDown() override {
    Launch::TEST_forceFork(false);
    kztest::AppsTest::TearDown();
  }
  // Starts a component as user:group and returns "Uid|Gid|Groups" of the
  // running child.
  std::string idsOf(const std::string& user, const std::string& group) {
    ComponentConf conf = comp("comp", "");
    conf.user = user;
    conf.group = group;
    Component c(conf);
    c.startStandart(StandartCompStrategy(), appPath(), 0, 0, "Full");
    const pid_t pid = c.getPid();
    std::string ids =
        statusField(pid, "Uid") + "|" + statusField(pid, "Gid") + "|" + statusField(pid, "Groups");
    c.stop(false);
    return ids;
  }
};

TEST_P(LaunchTest, ChildTakesTheAccountWithItsSupplementaryGroups) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  // The directory must be reachable for the account that execs from it.
  ASSERT_EQ(chmod(appPath().c_str(), 0755), 0);
  const std::string nobody = std::to_string(Utils::userId("nobody"));
  const std::string nogroup = std::to_string(Utils::groupId("nogroup"));
  EXPECT_EQ(idsOf("nobody", "nogroup"), nobody + " " + nobody + " " + nobody + " " + nobody + "|" +
                                            nogroup + " " + nogroup + " " + nogroup + " " +
                                            nogroup + "|" + nogroup);

  // An account of its own with a supplementary group; removed afterwards.
  const AccountGuard account(GetParam() ? "f" : "s");
  ASSERT_EQ(runRetried("groupadd " + account.extra), 0);
  ASSERT_EQ(runRetried("useradd -M -N -g nogroup -G " + account.extra + " -s /usr/sbin/nologin " +
                       account.user),
            0);
  const std::string uid = std::to_string(Utils::userId(account.user));
  const std::string extra = std::to_string(Utils::groupId(account.extra));
  const std::string all_uid = uid + " " + uid + " " + uid + " " + uid;
  // Without a group, the user's primary group; the groups are the account's.
  const std::string primary = idsOf(account.user, "");
  const std::string chosen = idsOf(account.user, account.extra);
  const std::string groups =
      std::stoi(nogroup) < std::stoi(extra) ? nogroup + " " + extra : extra + " " + nogroup;
  EXPECT_EQ(primary,
            all_uid + "|" + nogroup + " " + nogroup + " " + nogroup + " " + nogroup + "|" + groups);
  EXPECT_EQ(chosen, all_uid + "|" + extra + " " + extra + " " + extra + " " + extra + "|" + groups);
}

// The child unblocks the component signals and keeps the rest of the
// starting thread's mask; the thread's own mask is unchanged afterwards.
TEST_P(LaunchTest, SignalMaskOfTheChildAndOfTheStartingThread) {
  sigset_t blocked, before, after;
  sigemptyset(&blocked);
  for (int signo : {SIGTERM, SIGHUP, SIGUSR1}) sigaddset(&blocked, signo);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &blocked, &before), 0);
  Component c(comp("comp", ""));
  c.startStandart(StandartCompStrategy(), appPath(), 0, 0, "Full");
  const unsigned long long child_mask = std::stoull(statusField(c.getPid(), "SigBlk"), nullptr, 16);
  pthread_sigmask(SIG_SETMASK, nullptr, &after);
  c.stop(false);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  EXPECT_EQ(child_mask & (1ULL << (SIGTERM - 1)), 0u);
  EXPECT_EQ(child_mask & (1ULL << (SIGHUP - 1)), 0u);
  EXPECT_NE(child_mask & (1ULL << (SIGUSR1 - 1)), 0u);
  for (int signo = 1; signo < 32; ++signo) {
    EXPECT_EQ(sigismember(&after, signo),
              sigismember(&blocked, signo) || sigismember(&before, signo))
        << signo;
  }
}

// The descriptor limit given in the plan is the child's before exec; a
// refused one is a start error with its own text and exit code 1.
TEST_P(LaunchTest, NoFileLimitOfThePlan) {
  for (const rlim_t soft : {rlim_t{123}, RLIM_INFINITY}) {
    int answer[2], report[2];
    ASSERT_TRUE(Launch::makePipe(answer));
    ASSERT_TRUE(Launch::makePipe(report));
    const std::string path = kztest::testComponentPath();
    std::string arg0 = path;
    char* args[] = {&arg0[0], nullptr};
    Utils::Account account;
    Launch::ChildPlan plan;
    plan.path = path.c_str();
    plan.args = args;
    plan.answerWrite = answer[1];
    plan.reportWrite = report[1];
    plan.account = &account;
    plan.setNoFileLimit = true;
    plan.noFileLimit.rlim_cur = soft;
    plan.noFileLimit.rlim_max = soft;
    const pid_t pid = Launch::spawn(plan);
    ASSERT_GT(pid, 0);
    close(answer[1]);
    close(report[1]);
    char byte = 0;
    ASSERT_EQ(read(answer[0], &byte, 1), 1);
    if (soft == 123) {
      EXPECT_EQ(byte, ' ');
      EXPECT_EQ(statusField(pid, "Pid"), std::to_string(pid));
      const std::string limits = readFile("/proc/" + std::to_string(pid) + "/limits");
      EXPECT_NE(limits.find("Max open files            123                  123"),
                std::string::npos)
          << limits;
      kill(pid, SIGKILL);
    } else {
      // Raising the hard limit to infinity is refused.
      EXPECT_EQ(byte, 'E');
      char text[64] = {};
      EXPECT_GT(read(report[0], text, sizeof(text) - 1), 0);
      EXPECT_STREQ(text, "cannot set system limits");
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    if (soft != 123) {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    }
    close(answer[0]);
    close(report[0]);
  }
}

INSTANTIATE_TEST_SUITE_P(Start, LaunchTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Forked" : "Shared";
                         });

}  // namespace
