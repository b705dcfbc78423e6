// Log back-end: one LogClass per named log, writing to the system log or to
// a file shared by all logs, filtered by a severity level.
//
// Thread safety: any thread may write. File writes are serialised by one
// mutex shared by all logs, which the flusher thread also takes. init/setLevel/setConsoleEcho are
// meant for the main thread during start-up and reload.
#ifndef KORZA_BASE_LOG_H_
#define KORZA_BASE_LOG_H_

#include <atomic>
#include <string>
#include <vector>

namespace korza {

// Severities. A log at level L writes severity s when 0 < s <= L.
enum LogSeverity : int {
  kLogQuiet = 0,
  kLogFatal = 1,
  kLogError = 2,
  kLogAlert = 3,
  kLogInfo = 4,
  kLogDebug = 5,
  kLogAll = 6,
};

// Every message is formatted into a buffer of this size; longer texts are cut.
constexpr size_t kLogBufferSize = 1024;

class LogClass {
 public:
  explicit LogClass(std::string name = std::string());

  LogClass(const LogClass&) = delete;
  LogClass& operator=(const LogClass&) = delete;

  // Parses the level and the facility, then opens the output: "syslog"
  // selects the system log, any other name is a file opened for appending
  // (shared by every log). Throws std::invalid_argument for a bad level or
  // facility name and std::runtime_error "error in open log file NAME" when
  // the file cannot be opened. Returns true on success.
  bool init(const std::string& file_name, const std::string& level, const std::string& facility,
            bool console_echo);

  // "info" 4, "debug" 5, "alert" 3, "error" 2, "quiet" 0 (any case);
  // throws std::invalid_argument otherwise.
  static int parseLevel(const std::string& name);
  // "Daemon", "Mail", "Local0".."Local7" (any case) to the syslog facility;
  // throws std::invalid_argument otherwise.
  static int parseFacility(const std::string& name);

  void setName(const std::string& name);
  std::string name() const;
  void setLevel(int level) { level_ = level; }
  int level() const { return level_; }
  void setConsoleEcho(bool on) { console_echo_ = on; }

  bool isEnabled(int severity) const { return severity > 0 && severity <= level_; }

  // Writes one message of the given severity. The text is cut to
  // kLogBufferSize - 1 bytes.
  void write(int severity, const std::string& text);
  void writef(int severity, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

  void fatal(const std::string& text) { write(kLogFatal, text); }
  void error(const std::string& text) { write(kLogError, text); }
  void alert(const std::string& text) { write(kLogAlert, text); }
  void info(const std::string& text) { write(kLogInfo, text); }
  void debug(const std::string& text) { write(kLogDebug, text); }

  // Flushes the shared log file. Info lines are buffered; every other
  // line is written at once.
  static void flush();
  // Opens the shared log file's name again (after a rotation renamed the
  // file). The old file stays in use when the name cannot be opened; false
  // then, with errno set. True without change when the log is the system log.
  static bool reopenFile();
  // Starts the thread that writes buffered info lines out within a third
  // of a second of the first of them. It sleeps without a time limit while
  // nothing is buffered. Once per process; later calls do nothing. Call it
  // after the process has detached (a fork leaves the thread behind).
  static void startFlusher();
  // Closes the shared log file; later writes go nowhere until init.
  static void closeFile();
  // The current log file name, or "syslog".
  static std::string fileName();

 private:
  void emit(int severity, const char* message);

  std::string name_;  // GUARDED_BY(the shared log mutex)
  std::atomic<int> level_{kLogInfo};
  int facility_;  // GUARDED_BY(the shared log mutex)
  std::atomic<bool> console_echo_{false};
};

// The monitor's own log and the IPC library's log.
LogClass& monitorLog();
LogClass& ipcLog();

// Sets both logs up from the logging settings. With `console` on (check
// modes) the levels are forced to "alert" and "error" and the own log echoes
// to standard output. Failures are logged; returns false on failure.
bool initMonitorLogging(const std::string& file_name, const std::string& level,
                        const std::string& ipc_level, const std::string& facility, bool console);

// Per-thread diagnostic context: a stack of strings whose top entry is
// written in every log line of the thread.
class KzNDC {
 public:
  static void push(const std::string& context);
  static void pop();
  static void clear();
  // The top entry, or an empty string.
  static std::string top();
  static size_t depth();

  // Pushes on construction, pops on destruction.
  class Scope {
   public:
    explicit Scope(const std::string& context) { push(context); }
    ~Scope() { pop(); }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
  };

 private:
  static std::vector<std::string>& m_stack();
};

}  // namespace korza

#endif  // KORZA_BASE_LOG_H_
