// The interface through which signal processors reach the supervisor.
// Implementations lock what they touch: the processors run on the main
// thread while the main loop runs on its own.
#ifndef KORZA_MONITOR_SIGNAL_EXECUTOR_H_
#define KORZA_MONITOR_SIGNAL_EXECUTOR_H_

#include <string>

class SignalExecutor {
 public:
  virtual ~SignalExecutor() = default;
  // SIGHUP: request a reload of the configuration.
  virtual void reload(int signo, const std::string& name) = 0;
  // SIGTERM, SIGINT: stop the supervisor.
  virtual void terminate(int signo, const std::string& name) = 0;
  // Signals that are only noted (SIGCHLD, SIGTTOU, SIGTTIN).
  virtual void inform(int signo, const std::string& name) = 0;
};

#endif  // KORZA_MONITOR_SIGNAL_EXECUTOR_H_
