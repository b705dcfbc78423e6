// End-to-end tests of the control server: the real daemon in a sandbox,
// driven through real sockets by the control client korza-ctl.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "tests/support/daemon_sandbox.h"
#include "tests/support/lock_holder.h"

namespace {

using kztest::ComponentSpec;
using kztest::DaemonSandbox;
using kztest::RunResult;

const std::string kCtl = KZ_BIN_DIR "/korza-ctl";
const char kStarted[] = "Korza (R) Components Monitor started";

// A Unix stream socket and the address of `path`.
int unixSocket(const std::string& path, struct sockaddr_un* sa) {
  memset(sa, 0, sizeof *sa);
  sa->sun_family = AF_UNIX;
  strncpy(sa->sun_path, path.c_str(), sizeof sa->sun_path - 1);
  return socket(AF_UNIX, SOCK_STREAM, 0);
}

// A socket listening at `path` that never accepts.
int listenAt(const std::string& path) {
  struct sockaddr_un sa;
  const int fd = unixSocket(path, &sa);
  EXPECT_EQ(bind(fd, reinterpret_cast<struct sockaddr*>(&sa), sizeof sa), 0) << path;
  EXPECT_EQ(listen(fd, 4), 0);
  return fd;
}

// Connects to `path`, sends `data` and closes.
void sendRaw(const std::string& path, const std::string& data) {
  struct sockaddr_un sa;
  const int fd = unixSocket(path, &sa);
  ASSERT_EQ(connect(fd, reinterpret_cast<struct sockaddr*>(&sa), sizeof sa), 0);
  ASSERT_EQ(send(fd, data.data(), data.size(), 0), static_cast<ssize_t>(data.size()));
  close(fd);
}

class Control : public ::testing::Test {
 protected:
  ComponentSpec component(const std::string& name) {
    return ComponentSpec{name, sb_.recordArgs(name), 5, 1, "LOG", ""};
  }
  void startDaemon() {
    sb_.addApplication({"AGENT", {}, {component("agent")}});
    sb_.addApplication({"POSTD", {"AGENT"}, {component("postd")}});
    sb_.settings["Monitor/RunAppList"] = "POSTD";
    sb_.writeConf();
    sb_.start();
    ASSERT_TRUE(sb_.waitForLog(kStarted)) << sb_.log();
  }
  RunResult ctl(const std::vector<std::string>& args) {
    std::vector<std::string> argv{kCtl, "-c", sb_.confFile(), "-t", "10"};
    argv.insert(argv.end(), args.begin(), args.end());
    return kztest::runProgram(argv, std::chrono::seconds(30));
  }
  size_t hups(const std::string& component) {
    return kztest::countOf(kztest::readFile(sb_.recordFile(component)), "signal 1\n");
  }
  std::string address() { return "local:" + sb_.runDir() + ".monitor"; }

  DaemonSandbox sb_;
};

TEST_F(Control, ReloadRequestsReachTheNamedProcessesOnly) {
  // A socket left behind by a daemon that died is replaced.
  close(listenAt(sb_.runDir() + ".monitor"));
  startDaemon();
  const pid_t agent = sb_.waitForInstance("agent");
  ASSERT_GT(sb_.waitForInstance("postd"), 0);
  const std::string announced = sb_.root() + "/announced";
  kztest::LockHolder announcer(sb_.runDir(), "tool", announced);

  RunResult r = ctl({"reload", std::to_string(agent), std::to_string(announcer.pid())});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "reload request for 2 pid(s) sent to " + address() + "\n");
  ASSERT_TRUE(kztest::waitFor([&] { return kztest::readFile(announced) == "H"; })) << sb_.log();
  EXPECT_TRUE(kztest::waitFor([&] { return hups("agent") == 1; }));
  EXPECT_EQ(hups("postd"), 0u);

  // Hostile or broken requests end their own exchange only.
  const std::string id("\0\0\x20\x08", 4);
  sendRaw(sb_.runDir() + ".monitor", id + std::string("\xff\xff\xff\xff", 4));  // N = -1
  sendRaw(sb_.runDir() + ".monitor", id + std::string("\x7f\0\0\0", 4));        // beyond the cap
  sendRaw(sb_.runDir() + ".monitor", id + std::string("\0\0\0\x03\0\0\0\x01", 8));  // cut off
  sendRaw(sb_.runDir() + ".monitor", std::string("\0\0\x27\x0f", 4));  // unknown protocol
  EXPECT_TRUE(sb_.waitForLog("wrong number of pids", 2)) << sb_.log();
  EXPECT_TRUE(sb_.waitForLog("server: unsupported protocol ID ->9999"));

  // An empty list, and several clients at once, change nothing.
  std::vector<std::thread> clients;
  std::vector<int> statuses(6, -1);
  for (size_t i = 0; i < statuses.size(); ++i) {
    clients.emplace_back([&, i] { statuses[i] = ctl({"reload"}).status; });
  }
  for (auto& t : clients) t.join();
  EXPECT_EQ(statuses, std::vector<int>(6, 0));
  EXPECT_TRUE(sb_.waitForLog("MonitorServer::reloadCompProcessor()", 7));
  EXPECT_EQ(kztest::countOf(sb_.log(), "MonitorServer::reloadCompProcessor()"), 7u);

  // The monitor's own pid: one full reload, which signals every component.
  EXPECT_EQ(ctl({"reload", std::to_string(sb_.daemon().pid())}).status, 0);
  ASSERT_TRUE(kztest::waitFor([&] { return hups("postd") == 1 && hups("agent") == 2; }))
      << sb_.log();
  EXPECT_EQ(kztest::countOf(sb_.log(), "Monitor::reload()"), 1u);
  EXPECT_EQ(kztest::readFile(announced), "H");
  EXPECT_EQ(sb_.stopWith(SIGTERM), 0);
  EXPECT_TRUE(sb_.waitForLog("MonitorServer::stop(): monitorProtoThread joined"));
}

TEST_F(Control, UpdateRunsTheTrustedPackageWithTheCurrentPermissions) {
  startDaemon();
  const std::string pkg = sb_.root() + "/pkg";
  const std::string rec = sb_.root() + "/rec";
  ASSERT_EQ(system(("mkdir -p " + pkg + "/unix/scripts").c_str()), 0);
  const std::string script = pkg + "/unix/scripts/pre-update.sh";
  kztest::writeFile(script, "printf '%s\\n' \"$#\" \"$@\" > " + rec + "\n");

  RunResult r = ctl({"update", pkg, "two", "20-kzrunix"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "update accepted by " + address() + "\n");
  EXPECT_EQ(kztest::readFile(rec), "5\n" + pkg + "\ntwo\n44\n10\n\n");

  // A reload that sets User and Group changes the permissions passed on.
  const std::string user = getpwuid(geteuid())->pw_name;
  const std::string group = getgrgid(getegid())->gr_name;
  sb_.settings["Monitor/User"] = user;
  sb_.settings["Monitor/Group"] = group;
  sb_.writeConf();
  sb_.daemon().signal(SIGHUP);
  // The reload signals the components after it has published the settings.
  ASSERT_TRUE(kztest::waitFor([&] { return hups("postd") == 1; })) << sb_.log();
  EXPECT_EQ(ctl({"update", pkg, "two", "20-kzrunix"}).status, 0);
  EXPECT_EQ(kztest::readFile(rec), "6\n" + pkg + "\ntwo\n44\n10\n\n" + user + ":" + group + "\n");

  // A script that complains fails the update, and the package is removed.
  kztest::writeFile(script, "echo oops >&2\n");
  r = ctl({"update", pkg, "two", "20-kzrunix"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "korza-ctl: update refused: pre-update process error because of oops\n");
  EXPECT_FALSE(kztest::fileExists(pkg));
}

TEST_F(Control, AddressInUseFailsTheStartAndCheckModeOpensNothing) {
  startDaemon();
  DaemonSandbox second;
  second.addApplication({"AGENT", {}, {{"agent", "", 5, 1, "LOG", ""}}});
  second.settings["Monitor/Address"] = "inet:0@0.0.0.0, " + address();
  second.writeConf();
  RunResult r = second.run({"-c", second.confFile()});
  EXPECT_EQ(r.status, 8);
  EXPECT_EQ(r.err, "program create error: cannot create server session (inet:0@0.0.0.0," +
                       address() + "): SessionState::Open - cannot initialize connections pool\n");
  EXPECT_NE(second.log().find("is reachable from other hosts: whoever can connect to it can run "
                              "update scripts"),
            std::string::npos)
      << second.log();
  EXPECT_EQ(ctl({"reload"}).status, 0);  // the first daemon is untouched

  second.settings["Monitor/Address"] = "local:" + second.runDir() + ".monitor";
  second.writeConf();
  r = second.run({"-C", "-c", second.confFile()});
  EXPECT_EQ(r.out, "Options OK\n");
  EXPECT_FALSE(kztest::fileExists(second.runDir() + ".monitor"));
}

TEST(ControlClient, ReportsUsageErrorsAndUnreachableOrSilentDaemons) {
  kztest::TempDir dir;
  const int silent = listenAt(dir.file("silent"));
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {{"frob"}, 6, "korza-ctl: unknown command 'frob'\n"},
      {{"-a", "bogus", "reload"},
       8,
       "korza-ctl: cannot use the address \"bogus\": Session::Open: the 'address' parameter "
       "contains invalid value 'bogus'\n"},
      {{"-a", "local:" + dir.file("absent"), "reload", "1"},
       2,
       "korza-ctl: cannot connect to the monitor at local:" + dir.file("absent") +
           ": Socket::Connect to connection (fd->"},
      {{"-a", "local:" + dir.file("silent"), "-t", "1", "update", "/d", "b", "c"},
       3,
       "korza-ctl: no answer from the monitor at local:" + dir.file("silent") + " in time\n"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv{kCtl};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const RunResult r = kztest::runProgram(argv, std::chrono::seconds(30));
    EXPECT_EQ(r.status, c.status) << c.args[0];
    const std::string usage = c.status == 6 ? "Try 'korza-ctl --help' for more options\n" : "";
    if (c.status == 2) {
      EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << r.err;  // the descriptor number varies
      EXPECT_NE(r.err.find(") failed: No such file or directory\n"), std::string::npos);
    } else {
      EXPECT_EQ(r.err, c.err + usage) << c.args[0];
    }
  }
  close(silent);
}

}  // namespace
