// End-to-end tests of the control server: the real daemon in a sandbox,
// driven through real sockets by the control client korza-ctl.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <sstream>
#include <thread>

#include "tests/support/daemon_sandbox.h"
#include "tests/support/lock_holder.h"

namespace {

using kztest::DaemonSandbox;
using kztest::RunResult;

const std::string kCtl = KZ_BIN_DIR "/korza-ctl";

class Control : public ::testing::Test {
 protected:
  void startDaemon(const std::string& run_list = "POSTD") {
    sb_.addApplication({"AGENT", {}, {sb_.component("agent")}});
    sb_.addApplication({"POSTD", {"AGENT"}, {sb_.component("postd")}});
    sb_.settings["Monitor/RunAppList"] = run_list;
    sb_.startAndWait();
  }
  RunResult ctl(const std::vector<std::string>& args) {
    std::vector<std::string> argv{kCtl, "-c", sb_.confFile(), "-t", "10"};
    argv.insert(argv.end(), args.begin(), args.end());
    return kztest::runProgram(argv);
  }
  size_t hups(const std::string& component) {
    return kztest::countOf(kztest::readFile(sb_.recordFile(component)), "signal 1\n");
  }
  std::string address() { return "local:" + sb_.runDir() + ".monitor"; }
  // The columns of the status table's line of `comp` (columns are apart by
  // two blanks or more); empty when there is no such line.
  std::vector<std::string> statusRow(const std::string& table, const std::string& comp) {
    static const std::regex gap(" {2,}");
    std::istringstream in(table);
    for (std::string line; std::getline(in, line);) {
      std::vector<std::string> columns(
          std::sregex_token_iterator(line.begin(), line.end(), gap, -1), {});
      if (columns.size() > 1 && columns[1] == comp) return columns;
    }
    return {};
  }

  DaemonSandbox sb_;
};

TEST_F(Control, ReloadRequestsReachTheNamedProcessesOnly) {
  // A socket left behind by a daemon that died is replaced.
  const int stale = kztest::unixSocket(sb_.runDir() + ".monitor");
  ASSERT_GE(stale, 0);
  close(stale);
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
  for (const std::string& data : {id + std::string("\xff\xff\xff\xff", 4),      // N = -1
                                  id + std::string("\x7f\0\0\0", 4),            // beyond the cap
                                  id + std::string("\0\0\0\x03\0\0\0\x01", 8),  // cut off
                                  std::string("\0\0\x27\x0f", 4)}) {            // unknown protocol
    const int fd = kztest::unixSocket("", false, sb_.runDir() + ".monitor");
    ASSERT_GE(fd, 0);
    EXPECT_EQ(send(fd, data.data(), data.size(), 0), static_cast<ssize_t>(data.size()));
    close(fd);
  }
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
  EXPECT_THAT(second.log(),
              HasSubstr("is reachable from other hosts: whoever can connect to it can run "
                        "update scripts"))
      << second.log();
  EXPECT_EQ(ctl({"reload"}).status, 0);  // the first daemon is untouched

  second.settings["Monitor/Address"] = "local:" + second.runDir() + ".monitor";
  second.writeConf();
  r = second.run({"-C", "-c", second.confFile()});
  EXPECT_EQ(r.out, "Options OK\n");
  EXPECT_FALSE(kztest::fileExists(second.runDir() + ".monitor"));
}

TEST_F(Control, StatusFollowsACrashTheRestartAndTheNextWait) {
  sb_.settings["Monitor/RecoveryTimeList"] = "1, 60";
  sb_.addApplication({"ICAP", {"AGENT"}, {sb_.component("icapd")}});  // described, not run
  startDaemon();
  const pid_t agent = sb_.waitForInstance("agent");
  const pid_t first = sb_.waitForInstance("postd");
  RunResult r = ctl({"status"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("korza-monitor 6.0.0.201105110, pid " + std::to_string(sb_.daemon().pid()) +
                            ", running since ",
                        0),
            0u)
      << r.out;
  EXPECT_EQ(statusRow(r.out, "agent"),
            (std::vector<std::string>{"AGENT", "agent", "running", std::to_string(agent),
                                      statusRow(r.out, "agent").at(4), "0", "-"}))
      << r.out;
  EXPECT_THAT(r.out, HasSubstr("\nnot in the run list: ICAP\n"));
  EXPECT_EQ(statusRow(r.out, "icapd").at(2), "stopped");
  EXPECT_EQ(ctl({"status", "icap"}).status, 3);  // named, it counts

  ASSERT_EQ(kill(first, SIGKILL), 0);
  const pid_t second = sb_.waitForInstance("postd", 2);
  ASSERT_GT(second, 0) << sb_.log();
  std::vector<std::string> row;
  ASSERT_TRUE(kztest::waitFor([&] {
    row = statusRow(ctl({"status", "postd"}).out, "postd");
    return row.size() == 7 && row[2] == "running";
  })) << sb_.log();
  EXPECT_EQ(row[3], std::to_string(second));
  EXPECT_EQ(row[5], "1");  // restarts
  EXPECT_THAT(row[6], HasSubstr(" killed by signal 9 (Killed)"));

  // Now every restart fails: after the first failed attempt the next one is
  // a minute away.
  sb_.breakProgram("postd");
  ASSERT_EQ(kill(second, SIGKILL), 0);
  ASSERT_TRUE(kztest::waitFor([&] {
    r = ctl({"status"});
    row = statusRow(r.out, "postd");
    return row.size() == 7 && row[6].find("start failed") != std::string::npos;
  })) << r.out;
  EXPECT_EQ(row[2].rfind("waiting (due ", 0), 0u) << r.out;
  EXPECT_EQ(row[3], "-");
  EXPECT_EQ(r.status, 0);  // POSTD counts as started until it is given up
  EXPECT_EQ(sb_.stopWith(SIGTERM), 0);
}

// A restart on request: by root over the Unix socket, without a notice or
// a fault restart; refused over inet: and for an account that is neither
// root, the daemon's nor /Monitor/User; unknown names change nothing.
TEST_F(Control, RestartOnRequestIsNoFaultAndOnlyForTrustedLocalAccounts) {
  const int port = kztest::freePort();
  const std::string inet = "inet:" + std::to_string(port) + "@127.0.0.1";
  sb_.settings["Monitor/Address"] = address() + "," + inet;
  startDaemon("POSTD");
  const pid_t agent = sb_.waitForInstance("agent");
  const pid_t postd = sb_.waitForInstance("postd");

  RunResult r = ctl({"-a", address(), "restart", "postd/postd"});
  ASSERT_EQ(r.status, 0) << r.err << sb_.log();
  const pid_t second = sb_.waitForInstance("postd", 2);
  EXPECT_EQ(r.out, "component \"postd\" from application \"POSTD\" restarted, pid " +
                       std::to_string(second) + "\n");
  EXPECT_FALSE(kztest::processExists(postd));
  EXPECT_THAT(sb_.log(), HasSubstr("restart of component \"postd\" from application \"POSTD\" "
                                   "requested by uid " +
                                   std::to_string(getuid())));
  std::vector<std::string> row = statusRow(ctl({"status", "postd"}).out, "postd");
  ASSERT_EQ(row.size(), 7u);
  EXPECT_EQ(row[2], "running");
  EXPECT_EQ(row[3], std::to_string(second));
  EXPECT_EQ(row[5], "0");  // not a fault restart
  EXPECT_EQ(row[6], "-");

  // Unknown names: refused before anything is stopped.
  r = ctl({"-a", address(), "restart", "AGENT", "POSTD/nosuch"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "korza-ctl: restart refused: unknown component 'nosuch' of application "
            "\"POSTD\"\n");
  EXPECT_EQ(sb_.componentPids("agent"), std::vector<pid_t>{agent});
  EXPECT_EQ(ctl({"restart", "a/b/c"}).status, 6);

  r = ctl({"-a", inet, "restart", "AGENT"});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("served only on local: and unix: addresses"));
  if (access("/usr/sbin/runuser", X_OK) == 0) {
    // The socket reachable by nobody, who still may not restart anything.
    chmod(sb_.root().c_str(), 0755);
    chmod(sb_.runDir().c_str(), 0755);
    chmod((sb_.runDir() + ".monitor").c_str(), 0666);
    r = kztest::runProgram({"/usr/sbin/runuser", "-u", "nobody", "--", kCtl, "-a", address(), "-t",
                            "10", "restart", "AGENT"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_THAT(r.err, HasSubstr("may not restart components"));
  }
  EXPECT_EQ(sb_.componentPids("agent"), std::vector<pid_t>{agent});

  // A whole application, and nothing was reported as a failure.
  ASSERT_EQ(ctl({"-a", address(), "restart", "agent"}).status, 0) << sb_.log();
  EXPECT_GT(sb_.waitForInstance("agent", 2), 0);
  EXPECT_THAT(sb_.log(), Not(HasSubstr("Subject:")));
  EXPECT_EQ(sb_.stopWith(SIGTERM), 0);
  EXPECT_FALSE(sb_.anyComponentAlive());
}

TEST_F(Control, StatusOfAGivenUpComponentIsNotStarted) {
  sb_.settings["Monitor/RecoveryTimeList"] = "";
  startDaemon("AGENT, POSTD");
  ASSERT_EQ(kill(sb_.waitForInstance("postd"), SIGKILL), 0);
  ASSERT_TRUE(sb_.waitForLog("application \"POSTD\" has been stopped")) << sb_.log();
  // An empty recovery list gives up at once, without a restart.
  const std::string log = sb_.log();
  const size_t failed = log.find("Subject: ERROR: Component \"postd\" failed");
  ASSERT_NE(failed, std::string::npos) << log;
  EXPECT_LT(failed, log.find("Subject: ERROR: Component \"postd\" cannot recovery"));
  EXPECT_THAT(log, Not(HasSubstr("Monitor has tried to restart")));
  EXPECT_EQ(sb_.componentPids("postd").size(), 1u);

  RunResult r = ctl({"status"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(statusRow(r.out, "postd").at(2), "given up") << r.out;
  EXPECT_THAT(r.out, HasSubstr("\nnot started: POSTD\n"));
  EXPECT_EQ(ctl({"status", "agent"}).status, 0);
  r = ctl({"status", "AGENT", "NOSUCH"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "korza-ctl: unknown application 'NOSUCH'\n");
  EXPECT_EQ(r.out, "");

  r = ctl({"status", "--json"});
  EXPECT_EQ(r.status, 3);
  const std::string json = sb_.root() + "/status.json";
  kztest::writeFile(json, r.out);
  const RunResult parsed = kztest::runProgram(
      {"/usr/bin/python3", "-c",
       "import json, sys\n"
       "d = json.load(open(sys.argv[1]))\n"
       "print(d['pid'], d['version'])\n"
       "for a in d['applications']:\n"
       "  for c in a['components']:\n"
       "    print(a['name'], a['started'], a['in_run_list'], c['name'], c['state'], c['pid'] > 0, "
       "c['restarts'],\n"
       "          c['last_fault'], c['last_fault_time'] is not None, c['uptime'] is not None)\n",
       json});
  EXPECT_EQ(parsed.status, 0) << parsed.err << r.out;
  EXPECT_EQ(parsed.out, std::to_string(sb_.daemon().pid()) +
                            " 6.0.0.201105110\n"
                            "AGENT True True agent running True 0 None False True\n"
                            "POSTD False True postd given up False 0 killed by signal 9 (Killed) "
                            "True False\n");
  EXPECT_EQ(ctl({"reload", "--json"}).status, 6);

  // The same status as gauges of the Prometheus text format, checked by a
  // small parser of the format (and by promtool where it is installed).
  r = ctl({"status", "--prometheus"});
  EXPECT_EQ(r.status, 3);
  const std::string prom = sb_.root() + "/korza.prom";
  kztest::writeFile(prom, r.out);
  const RunResult samples = kztest::runProgram(
      {"/usr/bin/python3", "-c",
       "import re, sys\n"
       "typed = set()\n"
       "label = r'[a-zA-Z_][a-zA-Z0-9_]*=\"(?:[^\"\\\\\\n]|\\\\[\\\\\"n])*\"'\n"
       "sample = re.compile(r'([a-zA-Z_:][a-zA-Z0-9_:]*)(\\{' + label + '(?:,' + label + r')*\\})? "
       "(-?[0-9]+)$')\n"
       "for line in open(sys.argv[1]).read().splitlines():\n"
       "  if line.startswith('# HELP '): continue\n"
       "  m = re.match(r'# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) gauge$', line)\n"
       "  if m: typed.add(m.group(1)); continue\n"
       "  m = sample.match(line)\n"
       "  assert m and m.group(1) in typed, line\n"
       "  if m.group(1).startswith('korza_component_'): print(line)\n",
       prom});
  EXPECT_EQ(samples.status, 0) << samples.err << r.out;
  for (const char* line :
       {"korza_component_up{application=\"AGENT\",component=\"agent\"} 1\n",
        "korza_component_up{application=\"POSTD\",component=\"postd\"} 0\n",
        "korza_component_restarts{application=\"POSTD\",component=\"postd\"} 0\n",
        "korza_component_uptime_seconds{application=\"POSTD\",component=\"postd\"} 0\n"}) {
    EXPECT_THAT(samples.out, HasSubstr(line));
  }
  EXPECT_THAT(r.out, HasSubstr("korza_monitor_info{version=\"6.0.0.201105110\",pid=\"" +
                               std::to_string(sb_.daemon().pid()) + "\"} 1\n"));
  if (access("/usr/bin/promtool", X_OK) == 0) {
    const RunResult checked =
        kztest::runProgram({"/bin/sh", "-c", "promtool check metrics < " + prom});
    EXPECT_EQ(checked.status, 0) << checked.out << checked.err;
  }
  EXPECT_EQ(ctl({"status", "--json", "--prometheus"}).status, 6);
}

// With ComponentStderr = log what components write to their standard error
// reaches the log, escaped and at a bounded rate, without ever making the
// writer wait; a death right after a line names that line as its cause.
TEST_F(Control, ComponentStderrIsLoggedAtABoundedRateAndExplainsADeath) {
  const auto began = std::chrono::steady_clock::now();
  sb_.settings["Monitor/ComponentStderr"] = "Log";
  sb_.settings["Monitor/RecoveryTimeList"] = "60";
  sb_.addApplication({"AGENT", {}, {sb_.component("agent")}});
  // postd floods after its answer: it is done long before the log could
  // take 100 000 lines.
  sb_.addApplication({"POSTD", {"AGENT"}, {sb_.component("postd", "--tc-stderr-flood=100000")}});
  sb_.addApplication({"ICAP",
                      {"AGENT"},
                      {sb_.component("icapd",
                                     "--tc-stderr=cannot-open-it --tc-exit-after-ms=300 "
                                     "--tc-exit-code=2")}});
  sb_.settings["Monitor/RunAppList"] = "AGENT, POSTD, ICAP";
  sb_.startAndWait();
  const pid_t postd = sb_.waitForInstance("postd");
  ASSERT_TRUE(kztest::waitFor(
      [&] {
        return kztest::readFile(sb_.recordFile("postd")).find("flooded") != std::string::npos;
      },
      std::chrono::seconds(30)))
      << sb_.log();
  const std::string tag = "component \"postd\" (pid " + std::to_string(postd) + "): ";
  ASSERT_TRUE(sb_.waitForLog(tag + "flood\\x09line 0\n")) << sb_.log();

  std::vector<std::string> row;
  ASSERT_TRUE(kztest::waitFor([&] {
    row = statusRow(ctl({"status", "icap"}).out, "icapd");
    return row.size() == 7 && row[6] != "-";
  })) << ctl({"status"}).out;
  EXPECT_THAT(row[6], HasSubstr("exited with status 2; stderr: cannot-open-it"));
  EXPECT_THAT(sb_.log(), HasSubstr("): cannot-open-it\n"));

  EXPECT_EQ(sb_.stopWith(SIGTERM), 0);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  const std::string log = sb_.log();
  const size_t lines = kztest::countOf(log, tag);
  EXPECT_GT(lines, 50u);
  EXPECT_LE(lines, 100 + static_cast<size_t>(100 * seconds) + 2) << seconds;
  // What was dropped is counted, at the latest when the pipe is let go.
  EXPECT_THAT(log, HasSubstr(" earlier lines dropped]\n"));
}

TEST(ControlClient, ReportsUsageErrorsAndUnreachableOrSilentDaemons) {
  kztest::TempDir dir;
  const int silent = kztest::unixSocket(dir.file("silent"));
  ASSERT_GE(silent, 0);
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
       4,
       "korza-ctl: no answer from the monitor at local:" + dir.file("silent") + " in time\n"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv{kCtl};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const RunResult r = kztest::runProgram(argv);
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
