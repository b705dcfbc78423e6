// The program object: owns the supervisor and its main-loop thread, drives
// the start-up sequence and, being a SignalHandler, spends the rest of the
// main thread's life waiting for signals.
//
// Thread safety: used from the main thread only.
#ifndef KORZA_MONITOR_MONITOR_PROGRAM_H_
#define KORZA_MONITOR_MONITOR_PROGRAM_H_

#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "monitor/monitor.h"
#include "monitor/signal_handler.h"

class MonitorProgram : public SignalHandler {
 public:
  // Stop now and print the text on standard output (help, version).
  class exit : public std::runtime_error {
   public:
    explicit exit(const std::string& what) : std::runtime_error(what) {}
  };

  // A start-up step failed; `code` names the step.
  class error : public std::runtime_error {
   public:
    enum Code {
      kPidFile = 3,
      kNewSession = 4,
      kWorkingDirectory = 5,
      kStart = 7,
      kCreate = 33,
    };
    error(const std::string& what, int code) : std::runtime_error(what), code_(code) {}
    int code() const { return code_; }

   private:
    int code_;
  };

  MonitorProgram(const std::string& run_list, bool update_mode);
  ~MonitorProgram() override;

  // Builds the supervisor. Throws MonitorProgram::error (code 33).
  bool createMonitor(const std::string& conf_file);
  // Hands the log file to the configured account and switches user and
  // group. False when the switch failed (logged).
  bool changePermissions();
  // Detaches from the terminal. Throws MonitorProgram::error.
  void daemonize();
  // Raises the soft descriptor limit to the hard one; the components are
  // still started with the limit the program was given. Logged.
  void raiseDescriptorLimit();
  // Writes the locked pid file. Throws MonitorProgram::error (code 3).
  void createPidFile();
  // With the pid-file lock held: stops the components a previous instance
  // recorded in the state file and that still run (same process start
  // time), all at once, then starts a fresh state file that records this
  // instance's components.
  void stopLeftovers();
  // Registers the signal processors and blocks the signals.
  void setSignalProcessors();
  // Computes and verifies the first run set; false on failure (logged).
  bool verifyDependences();
  // Starts the supervisor. SIGTERM or SIGINT during the start ends it
  // (what was started stays to be stopped at shutdown) and the result is
  // false. Throws MonitorProgram::error (code 7) or passes on
  // MonitorProgram::exit.
  bool startMonitor();
  // Runs the supervisor's main loop on mainLoopThread.
  bool startMainLoopThread();
  // Ends the main loop and joins its thread.
  void stop();

  Monitor* monitor() const { return monitor_.get(); }

 private:
  // Gives the log file to the account the monitor and its components run
  // as, so that it stays writable after the switch. Failures are logged.
  void changeLogFileOwner();

  std::string pidFile;
  std::string stateFile;  // empty until stopLeftovers opened it
  int pid_fd_ = -1;
  std::string runList;
  bool updateMode;
  std::unique_ptr<Monitor> monitor_;
  std::thread mainLoopThread;
};

struct ProgramOptions {
  std::string confFile;
  std::string runList;
  bool update = false;
  bool checkOnly = false;
  bool checkAll = false;
};

// Parses the command line. Throws MonitorProgram::exit for help and version
// and CommandLineError for anything the option library refuses.
class CommandLineError : public std::runtime_error {
 public:
  explicit CommandLineError(const std::string& what) : std::runtime_error(what) {}
};
ProgramOptions parseOptions(int argc, const char* const* argv);

// The whole program; returns the exit status.
int korzaMain(int argc, const char* const* argv);

#endif  // KORZA_MONITOR_MONITOR_PROGRAM_H_
