// How a component is started in each mode of the monitor: which start path
// runs (the normal start with its one-byte answer, or the check-mode run
// that prints the component's report) and which arguments the mode appends.
//
// Strategies hold no changing state; callers create them on the stack for
// one run and pass them by reference. Safe to share between threads.
#ifndef KORZA_APPS_COMP_STRATEGY_H_
#define KORZA_APPS_COMP_STRATEGY_H_

#include <cstdint>
#include <string>
#include <vector>

class Component;

class CompStrategy {
 public:
  // Starts the component by the mode's path. A fault time above 0 marks a
  // recovery. Throws what the component's start path throws.
  virtual void start(Component& comp, const std::string& app_path, int64_t fault_time,
                     uint32_t try_number, const std::string& app_full_name) const = 0;
  // Adjusts the argument vector after the configured arguments were added.
  virtual void addArguments(std::vector<std::string>& args) const = 0;
  virtual std::string name() const { return std::string(); }
  virtual std::string description() const { return std::string(); }
  virtual ~CompStrategy() = default;
};

// Standard mode, reconfiguration and recovery.
class StandartCompStrategy : public CompStrategy {
 public:
  void start(Component& comp, const std::string& app_path, int64_t fault_time, uint32_t try_number,
             const std::string& app_full_name) const override;
  void addArguments(std::vector<std::string>& args) const override;
};

// Update mode: the agent's application with "--update".
class UpdateCompStrategy : public CompStrategy {
 public:
  void start(Component& comp, const std::string& app_path, int64_t fault_time, uint32_t try_number,
             const std::string& app_full_name) const override;
  void addArguments(std::vector<std::string>& args) const override;
  std::string name() const override { return "update"; }
  std::string description() const override { return "in " + name() + " mode"; }
};

// Check-all mode: the component checks its own settings.
class CheckOnlyStrategy : public CompStrategy {
 public:
  void start(Component& comp, const std::string& app_path, int64_t fault_time, uint32_t try_number,
             const std::string& app_full_name) const override;
  void addArguments(std::vector<std::string>& args) const override;
  std::string name() const override { return "check-only"; }
  std::string description() const override { return "in " + name() + " mode"; }
};

// Check-all mode: a temporary agent listening on another socket.
class ChangeSocketStrategy : public CompStrategy {
 public:
  ChangeSocketStrategy(std::string socket, std::string pid_file)
      : socket_(std::move(socket)), pidFile_(std::move(pid_file)) {}
  void start(Component& comp, const std::string& app_path, int64_t fault_time, uint32_t try_number,
             const std::string& app_full_name) const override;
  void addArguments(std::vector<std::string>& args) const override;
  std::string name() const override { return "change-socket"; }
  std::string description() const override { return "in " + name() + " mode"; }

 private:
  std::string socket_;
  std::string pidFile_;
};

// Check-all mode: every other component checks against the temporary agent.
// Its last configured argument is replaced by the check switch and the
// socket (with no configured argument, the program path itself goes).
class CheckOnlyWithAlternativeAgentStrategy : public CompStrategy {
 public:
  explicit CheckOnlyWithAlternativeAgentStrategy(std::string socket) : socket_(std::move(socket)) {}
  void start(Component& comp, const std::string& app_path, int64_t fault_time, uint32_t try_number,
             const std::string& app_full_name) const override;
  void addArguments(std::vector<std::string>& args) const override;
  std::string name() const override { return "check-only"; }
  std::string description() const override { return "in " + name() + " mode"; }

 private:
  std::string socket_;
};

#endif  // KORZA_APPS_COMP_STRATEGY_H_
