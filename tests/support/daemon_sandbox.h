// A sandbox for end-to-end runs of the daemon: a temporary directory with
// monitor.conf, a meta-configuration directory, an application directory
// with component programs, a run directory for pid and hup files and a log
// file. Everything the daemon is given points inside it.
#ifndef KORZA_TESTS_SUPPORT_DAEMON_SANDBOX_H_
#define KORZA_TESTS_SUPPORT_DAEMON_SANDBOX_H_

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/process_runner.h"
#include "tests/support/sandbox.h"

namespace kztest {

struct ComponentSpec {
  std::string name;
  std::string argv;  // the argument string of the component line
  int timeStart = 5;
  int timeStop = 1;
  std::string logType = "LOG";  // LOG, MAIL, or a quoted command
  std::string user;             // "" = keep the daemon's account
};

struct ApplicationSpec {
  std::string name;
  std::vector<std::string> depends;
  std::vector<ComponentSpec> components;
};

class DaemonSandbox {
 public:
  DaemonSandbox();
  ~DaemonSandbox();

  // Settings written to monitor.conf; every key is present so that a check
  // run reports no warning. Keys are "Group/Key".
  std::map<std::string, std::string> settings;

  // Adds an application to its own "NAME.mmc" file. Its components run the
  // given program (default: the test component) under their own names.
  void addApplication(const ApplicationSpec& app, const std::string& program = std::string());
  // Writes monitor.conf from `settings`.
  void writeConf();

  const std::string& root() const { return dir_.path(); }
  std::string confFile() const { return dir_.file("monitor.conf"); }
  std::string metaDir() const { return dir_.file("meta") + "/"; }
  std::string appDir() const { return dir_.file("bin") + "/"; }
  std::string runDir() const { return dir_.file("run") + "/"; }
  std::string logFile() const { return dir_.file("monitor.log"); }
  std::string pidFile() const { return runDir() + "korza-monitor.pid"; }

  // Runs the daemon to its end (check modes, errors).
  RunResult run(const std::vector<std::string>& args,
                std::chrono::milliseconds timeout = std::chrono::seconds(60));
  // Starts the daemon in the background with -c confFile() and `args`.
  void start(const std::vector<std::string>& args = {});
  // writeConf(), start(), and a wait for the start-up to be logged.
  void startAndWait();
  Background& daemon() { return *daemon_; }
  // Sends the signal and waits for the exit; returns the exit status or -1.
  int stopWith(int signo, std::chrono::milliseconds timeout = std::chrono::seconds(60));

  // The record file of a component started with recordArgs(name).
  std::string recordFile(const std::string& component) const {
    return dir_.file("rec-" + component);
  }
  // Test-component arguments that record pid, argv and signals, and end the
  // component cleanly on SIGTERM.
  std::string recordArgs(const std::string& component) const {
    return "--tc-record=" + recordFile(component) + " --tc-term-exit=0";
  }
  // A component that records itself, with extra arguments.
  ComponentSpec component(const std::string& name, const std::string& extra = "") const {
    ComponentSpec c;
    c.name = name;
    c.argv = recordArgs(name) + (extra.empty() ? "" : " " + extra);
    return c;
  }
  // Replaces the component's program by one that exits at once without
  // answering.
  void breakProgram(const std::string& name) const;
  // Every pid the component's instances recorded, oldest first.
  std::vector<pid_t> componentPids(const std::string& component) const;
  // Waits until the component has recorded `count` instances; returns the
  // newest pid or -1.
  pid_t waitForInstance(const std::string& component, size_t count = 1) const;
  // Whether any recorded instance of any component still exists.
  bool anyComponentAlive() const;

  std::string log() const { return readFile(logFile()); }
  // Waits until the log holds `text` (count times).
  bool waitForLog(const std::string& text, size_t count = 1,
                  std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;

 private:
  void killComponents() const;

  TempDir dir_;
  std::unique_ptr<Background> daemon_;
  std::vector<std::string> components_;
};

}  // namespace kztest

#endif  // KORZA_TESTS_SUPPORT_DAEMON_SANDBOX_H_
