// Informers deliver a notification text to the administrator: to the log,
// to a command reading it on standard input, or by e-mail through the mail
// transfer command.
//
// Thread safety: inform() may run on any thread. The mail transfer command
// is process-wide and locked; SenderInformer delivers on a detached thread.
#ifndef KORZA_APPS_INFORMER_H_
#define KORZA_APPS_INFORMER_H_

#include <memory>
#include <string>

class Informer {
 public:
  virtual ~Informer() = default;
  // Delivers the text; false when it could not be handed on.
  virtual bool inform(const std::string& text) = 0;
  // Drops any cached state (nothing to drop in the informers we have).
  virtual void reset() = 0;
};

// Type 1: "LogInform: " + text at info level.
class LogInformer : public Informer {
 public:
  bool inform(const std::string& text) override;
  void reset() override {}
};

// Type 2: mail through the mail transfer command, on a detached thread.
class SenderInformer : public Informer {
 public:
  bool inform(const std::string& text) override;
  void reset() override {}
};

// Type 3: runs the command with the text on its standard input; blocks for
// at most 30 seconds, then kills the command.
class CmdInformer : public Informer {
 public:
  explicit CmdInformer(std::string command) : command_(std::move(command)) {}
  bool inform(const std::string& text) override;
  void reset() override {}
  const std::string& command() const { return command_; }
  // Shortens the 30-second limit so that tests stay fast.
  static void TEST_setTimeLimit(int milliseconds);

 private:
  std::string command_;
};

// Creates the informer of the given type (1 log, 2 mail, 3 command); the
// command is used only for type 3. Any other type gives null. The log and
// mail informers keep no state of their own: every caller gets the same one.
std::shared_ptr<Informer> createInformer(int type, const std::string& command);

// The process-wide mail transfer command used by SenderInformer
// (default "/usr/sbin/sendmail -t").
void setInjectCmd(const std::string& command);
std::string getInjectCmd();

#endif  // KORZA_APPS_INFORMER_H_
