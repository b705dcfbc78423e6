// Carries what components write to their standard error into the daemon's
// log, when the administrator asked for it (by default a component's
// standard error goes to /dev/null).
//
// Each line becomes an error-level line `component "NAME" (pid N): TEXT`,
// with control characters escaped and cut so that the whole line holds at
// most kMaxLine bytes (what the log's formatting buffer takes). A
// component may write as much and as fast as it likes: one thread reads
// every pipe as soon as it has data, so a writer never blocks on a full
// pipe, and at most kLinesPerSecond lines a second (with bursts up to
// kBurst) reach the log per component; the lines beyond are dropped and
// their number is given in the next line logged for that component.
//
// The collector also keeps each component's last line and when it came, so
// that the cause of a death can name what the component said just before.
//
// Thread safety: every public member may be called from any thread. The
// reading thread starts with the first pipe and ends in shutdown().
#ifndef KORZA_APPS_STDERR_COLLECTOR_H_
#define KORZA_APPS_STDERR_COLLECTOR_H_

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class StderrCollector {
 public:
  static constexpr size_t kMaxLine = 1023;
  static constexpr int kLinesPerSecond = 100;
  static constexpr int kBurst = 100;
  // A death this soon after a line makes that line part of its cause.
  static constexpr int64_t kLastWordsMs = 1000;

  static StderrCollector& instance();

  StderrCollector() = default;
  ~StderrCollector();
  StderrCollector(const StderrCollector&) = delete;
  StderrCollector& operator=(const StderrCollector&) = delete;

  // Whether components started from now on get a pipe for their standard
  // error ("log") or /dev/null ("no").
  void setLogging(bool on) { logging_ = on; }
  bool logging() const { return logging_; }

  // Takes over `fd`, the read end of the standard-error pipe of instance
  // `pid` of component `name`, and logs what arrives on it until finish().
  // On failure (no thread, no memory) the descriptor is closed at once and
  // false is returned: the component then writes into a closed pipe.
  bool watch(int fd, pid_t pid, const std::string& name);

  // Reads what is still in the pipe of `fd` (as given to watch()), logs it,
  // gives the count of lines still dropped, and releases the descriptor.
  // Returns the component's last line when it came less than kLastWordsMs
  // ago, else "". An unknown descriptor is ignored.
  std::string finish(int fd);

  // Ends the reading thread. The pipes still watched stay with their
  // components until finish().
  void shutdown();

  // Descriptors being watched (for tests).
  size_t watched();

 private:
  struct Pipe {
    std::string name;
    pid_t pid = -1;
    std::string line;  // raw bytes of the line being read
    bool cut = false;  // the line went past kMaxLine; the rest is skipped
    bool eof = false;  // every writer has gone; kept open until finish()
    double tokens = kBurst;
    int64_t refilledMs = 0;
    uint64_t dropped = 0;
    std::string lastLine;  // escaped, as logged
    int64_t lastLineMs = -1;
  };

  // REQUIRES: mutex_ held.
  bool startThread();
  void readPipe(int fd, Pipe& pipe, size_t budget);
  void takeBytes(Pipe& pipe, const char* data, size_t size, int64_t now);
  void endLine(Pipe& pipe, int64_t now);
  void logLine(Pipe& pipe, const std::string& text);
  void wakeThread();

  void run();

  std::atomic<bool> logging_{false};
  std::mutex mutex_;
  std::map<int, Pipe> pipes_;  // guarded by mutex_
  std::vector<int> toAdd_;     // guarded by mutex_: for the thread's poller
  std::vector<int> toClose_;   // guarded by mutex_: finished, still in the poller
  bool stopping_ = false;      // guarded by mutex_
  int wake_[2] = {-1, -1};     // the thread's wake-up pipe
  std::thread thread_;
};

#endif  // KORZA_APPS_STDERR_COLLECTOR_H_
