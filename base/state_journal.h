// The record of the running components that outlives the daemon: one line
// per child started ("+ PID START STOP NAME") and per child reaped
// ("- PID"), appended to a file in the pid-file directory, so that an
// instance that follows a daemon that was killed or crashed can find and
// stop what it left behind. START is the process start time of
// Utils::processStartTime, STOP the component's stop time in seconds.
//
// Each start or stop appends one line; when the file holds more than twice
// the live entries plus some slack it is rewritten with the live entries
// alone. Every new file is a temporary file created with O_EXCL |
// O_NOFOLLOW (mode 0644) and renamed into place; the daemon keeps writing
// through the descriptor of the file it created, never reopening it by
// name, so nothing planted under that name is ever written.
//
// Thread safety: the members lock; the static readers keep no state.
#ifndef KORZA_BASE_STATE_JOURNAL_H_
#define KORZA_BASE_STATE_JOURNAL_H_

#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class StateJournal {
 public:
  struct Entry {
    pid_t pid = -1;
    uint64_t startTime = 0;  // 0: unknown, never to be signalled
    uint32_t stopSeconds = 0;
    std::string name;
  };

  // The journal the components of this process write to.
  static StateJournal& instance();

  StateJournal() = default;
  ~StateJournal();
  StateJournal(const StateJournal&) = delete;
  StateJournal& operator=(const StateJournal&) = delete;

  // Reads the entries left in `path` when the file may be trusted: a
  // regular file (not reached through a link) owned by root or by this
  // process's effective uid and writable by nobody else. False with the
  // reason in `why` otherwise ("" when there is no file at all).
  static bool readTrusted(const std::string& path, std::vector<Entry>& entries, std::string& why);
  // The live entries of a journal's text, oldest first.
  static std::vector<Entry> parse(const std::string& text);

  // Replaces the file at `path` by an empty journal and writes to it from
  // now on. False (errno set) when it could not be created.
  bool open(const std::string& path);
  // Stops writing. With `remove` the file is unlinked when it records no
  // live process (a clean exit leaves nothing to stop); otherwise it stays.
  void close(bool remove);
  bool isOpen() const;

  // A child was started / reaped. Nothing when the journal is not open.
  void started(pid_t pid, uint64_t start_time, uint32_t stop_seconds, const std::string& name);
  void ended(pid_t pid);

  size_t liveCount() const;
  // Lines in the current file (tests watch the compaction).
  size_t TEST_records() const;

 private:
  // Writes the live entries to a new file and renames it over path_.
  // REQUIRES: mutex_ held.
  bool rewriteLocked();
  void appendLocked(const std::string& line);
  // The live entry of `pid`, or where it would go. REQUIRES: mutex_ held.
  std::vector<Entry>::iterator findLocked(pid_t pid);

  mutable std::mutex mutex_;
  std::string path_;  // GUARDED_BY(mutex_)
  int fd_ = -1;       // GUARDED_BY(mutex_)
  // Sorted by pid: a large daemon keeps one entry per component, and an
  // array holds them in a fraction of a hash map's memory; new pids mostly
  // go at the end.
  std::vector<Entry> live_;  // GUARDED_BY(mutex_)
  size_t records_ = 0;       // GUARDED_BY(mutex_)
};

#endif  // KORZA_BASE_STATE_JOURNAL_H_
