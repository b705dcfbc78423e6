#include "base/state_journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>

#include "base/utils.h"

namespace {

// Compaction once the file holds more than 2 * live + kSlack lines.
const size_t kSlack = 64;
// A journal larger than this is not ours to read.
const size_t kMaxRead = 64u << 20;

std::string entryLine(const StateJournal::Entry& e) {
  std::string name = e.name;
  for (char& c : name) {
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f) c = '?';
  }
  return "+ " + std::to_string(e.pid) + " " + std::to_string(e.startTime) + " " +
         std::to_string(e.stopSeconds) + " " + name + "\n";
}

// Creates path + ".tmp" exclusively, never through a link; a stale one
// (a crash during a rewrite) is removed first. -1 with errno set.
int createTemp(const std::string& temp) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    int fd;
    do fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
      // The umask must not make it less readable than 0644.
      if (fchmod(fd, 0644) != 0) {
        const int err = errno;
        close(fd);
        unlink(temp.c_str());
        errno = err;
        return -1;
      }
      return fd;
    }
    if (errno != EEXIST || attempt > 0) return -1;
    if (unlink(temp.c_str()) != 0 && errno != ENOENT) return -1;
  }
  return -1;
}

}  // namespace

StateJournal& StateJournal::instance() {
  static StateJournal journal;
  return journal;
}

StateJournal::~StateJournal() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

std::vector<StateJournal::Entry> StateJournal::parse(const std::string& text) {
  std::map<pid_t, Entry> live;  // ordered: a stable order for the caller
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) break;  // a torn last line is dropped
    const std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (line.size() < 3 || line[1] != ' ') continue;
    const char* p = line.c_str() + 2;
    char* next = nullptr;
    errno = 0;
    const long pid = strtol(p, &next, 10);
    if (next == p || errno != 0 || pid < 2 || pid > 0x7fffffffL) continue;
    if (line[0] == '-') {
      live.erase(static_cast<pid_t>(pid));
      continue;
    }
    if (line[0] != '+' || *next != ' ') continue;
    p = next + 1;
    const unsigned long long start = strtoull(p, &next, 10);
    if (next == p || *next != ' ' || errno != 0) continue;
    p = next + 1;
    const unsigned long stop = strtoul(p, &next, 10);
    if (next == p || *next != ' ' || errno != 0 || stop > 0xffffffffUL) continue;
    Entry e;
    e.pid = static_cast<pid_t>(pid);
    e.startTime = start;
    e.stopSeconds = static_cast<uint32_t>(stop);
    e.name = std::string(next + 1);
    live[e.pid] = e;
  }
  std::vector<Entry> out;
  out.reserve(live.size());
  for (auto& kv : live) out.push_back(std::move(kv.second));
  return out;
}

bool StateJournal::readTrusted(const std::string& path, std::vector<Entry>& entries,
                               std::string& why) {
  entries.clear();
  why.clear();
  int fd;
  do fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    if (errno != ENOENT) why = "cannot open: " + std::string(strerror(errno));
    return false;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    why = "cannot stat: " + std::string(strerror(errno));
  } else if (!S_ISREG(st.st_mode)) {
    why = "not a regular file";
  } else if (st.st_uid != 0 && st.st_uid != geteuid()) {
    why = "owned by uid " + std::to_string(st.st_uid);
  } else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    why = "writable by group or others";
  } else if (static_cast<size_t>(st.st_size) > kMaxRead) {
    why = "too large";
  }
  if (!why.empty()) {
    ::close(fd);
    return false;
  }
  std::string text;
  char buf[65536];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      why = "cannot read: " + std::string(strerror(errno));
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    text.append(buf, static_cast<size_t>(n));
    if (text.size() > kMaxRead) break;
  }
  ::close(fd);
  entries = parse(text);
  return true;
}

bool StateJournal::open(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  path_ = path;
  return rewriteLocked();
}

void StateJournal::close(bool remove) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
  if (remove && live_.empty()) unlink(path_.c_str());
  live_.clear();
  records_ = 0;
}

bool StateJournal::isOpen() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return fd_ >= 0;
}

size_t StateJournal::liveCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return live_.size();
}

size_t StateJournal::TEST_records() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_;
}

bool StateJournal::rewriteLocked() {
  const std::string temp = path_ + ".tmp";
  const int fd = createTemp(temp);
  if (fd < 0) return false;
  std::string text;
  for (const Entry& e : live_) text += entryLine(e);
  // Appends after the rename go to this very file.
  if (!Utils::writeAll(fd, text) || fcntl(fd, F_SETFL, O_APPEND) != 0 ||
      rename(temp.c_str(), path_.c_str()) != 0) {
    const int err = errno;
    ::close(fd);
    unlink(temp.c_str());
    errno = err;
    return false;
  }
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
  records_ = live_.size();
  return true;
}

std::vector<StateJournal::Entry>::iterator StateJournal::findLocked(pid_t pid) {
  return std::lower_bound(live_.begin(), live_.end(), pid,
                          [](const Entry& e, pid_t p) { return e.pid < p; });
}

void StateJournal::appendLocked(const std::string& line) {
  // A failed write loses one line at worst; the next rewrite restores the
  // full picture from memory.
  if (Utils::writeAll(fd_, line)) ++records_;
  if (records_ > 2 * live_.size() + kSlack) rewriteLocked();
}

void StateJournal::started(pid_t pid, uint64_t start_time, uint32_t stop_seconds,
                           const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ < 0 || pid < 2) return;
  Entry e;
  e.pid = pid;
  e.startTime = start_time;
  e.stopSeconds = stop_seconds;
  e.name = name;
  const std::string line = entryLine(e);
  const auto at = findLocked(pid);
  if (at != live_.end() && at->pid == pid) {
    *at = std::move(e);
  } else {
    live_.insert(at, std::move(e));
  }
  appendLocked(line);
}

void StateJournal::ended(pid_t pid) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ < 0) return;
  const auto at = findLocked(pid);
  if (at == live_.end() || at->pid != pid) return;
  live_.erase(at);
  appendLocked("- " + std::to_string(pid) + "\n");
}
