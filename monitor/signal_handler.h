// Synchronous signal handling: the signals of interest are blocked in every
// thread and the main thread collects them with sigwait. Each signal has one
// processor that forwards it to the supervisor and says whether waiting ends.
//
// Thread safety: start() must run on the main thread before any other thread
// is created; waitSignals() runs on the main thread only.
#ifndef KORZA_MONITOR_SIGNAL_HANDLER_H_
#define KORZA_MONITOR_SIGNAL_HANDLER_H_

#include <signal.h>

#include <map>
#include <memory>
#include <stdexcept>
#include <string>

#include "monitor/signal_executor.h"

class SignalHandler {
 public:
  class error : public std::runtime_error {
   public:
    explicit error(const std::string& what) : std::runtime_error(what) {}
  };

  class Processor {
   public:
    Processor(SignalExecutor* executor, std::string name)
        : executor_(executor), name_(std::move(name)) {}
    virtual ~Processor() = default;
    // Returns true when the wait loop should end.
    virtual bool process(int signo);

    void setHandler(SignalHandler* handler) { handler_ = handler; }
    const std::string& name() const { return name_; }

   protected:
    SignalHandler* handler_ = nullptr;
    SignalExecutor* executor_;  // may be null: no supervisor
    std::string name_;
  };

  // Throws SignalHandler::error when the signal set cannot be emptied.
  SignalHandler();
  virtual ~SignalHandler();

  SignalHandler(const SignalHandler&) = delete;
  SignalHandler& operator=(const SignalHandler&) = delete;

  // Takes ownership of the processor. Throws SignalHandler::error when the
  // signal already has one.
  void addProcessor(int signo, std::unique_ptr<Processor> processor);
  // Links the processors, blocks the set in the calling thread and installs
  // the do-nothing handlers for SIGALRM, SIGCHLD, SIGHUP and SIGPIPE.
  void start();
  // Waits for signals until a processor asks to stop.
  void waitSignals();

 private:
  sigset_t set_;
  std::map<int, std::unique_ptr<Processor>> processors_;
};

class TerminateProcessor : public SignalHandler::Processor {
 public:
  using Processor::Processor;
  bool process(int signo) override;
};

class ReloadProcessor : public SignalHandler::Processor {
 public:
  using Processor::Processor;
  bool process(int signo) override;
};

class InformProcessor : public SignalHandler::Processor {
 public:
  using Processor::Processor;
  bool process(int signo) override;
};

// Opens the log file again under its name, so that a rotation that renamed
// it is followed; nothing else changes (no reload, no signal to components).
class LogReopenProcessor : public SignalHandler::Processor {
 public:
  using Processor::Processor;
  bool process(int signo) override;
};

// A signal the daemon has no use for: logged at alert level, otherwise
// ignored, rather than ending the daemon without stopping its components.
class IgnoreProcessor : public SignalHandler::Processor {
 public:
  using Processor::Processor;
  bool process(int signo) override;
};

#endif  // KORZA_MONITOR_SIGNAL_HANDLER_H_
