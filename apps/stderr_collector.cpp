#include "apps/stderr_collector.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <memory>

#include "apps/launch.h"
#include "base/event_poller.h"
#include "base/log.h"
#include "base/utils.h"

using korza::monitorLog;

namespace {

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// What one wake-up of the thread reads of one pipe at most, so that one
// chattering component cannot hold the others up.
constexpr size_t kReadBudget = size_t{256} * 1024;
// What finish() reads at most of a pipe a descendant may still be writing.
constexpr size_t kFinishBudget = size_t{1024} * 1024;

}  // namespace

StderrCollector& StderrCollector::instance() {
  static StderrCollector collector;
  return collector;
}

StderrCollector::~StderrCollector() {
  shutdown();
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& entry : pipes_) close(entry.first);
  pipes_.clear();
}

bool StderrCollector::watch(int fd, pid_t pid, const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  bool ok = false;
  try {
    Pipe& pipe = pipes_[fd];
    pipe.name = name;
    pipe.pid = pid;
    pipe.refilledMs = nowMs();
    toAdd_.push_back(fd);
    ok = fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) == 0 && startThread();
  } catch (const std::exception&) {
    ok = false;
  }
  if (!ok) {
    monitorLog().error("cannot log the standard error of component \"" + Utils::printable(name) +
                       "\"");
    pipes_.erase(fd);
    toAdd_.erase(std::remove(toAdd_.begin(), toAdd_.end(), fd), toAdd_.end());
    close(fd);
    return false;
  }
  wakeThread();
  return true;
}

std::string StderrCollector::finish(int fd) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = pipes_.find(fd);
  if (it == pipes_.end()) return std::string();
  Pipe& pipe = it->second;
  if (!pipe.eof) readPipe(fd, pipe, kFinishBudget);
  const int64_t now = nowMs();
  if (!pipe.line.empty() || pipe.cut) endLine(pipe, now);
  if (pipe.dropped != 0) logLine(pipe, std::string());
  std::string last;
  if (pipe.lastLineMs >= 0 && now - pipe.lastLineMs < kLastWordsMs) last = pipe.lastLine;
  pipes_.erase(it);
  // Still in the thread's poller: the thread takes it out before it closes
  // it, so that the number is not reused while it is watched.
  if (thread_.joinable()) {
    toClose_.push_back(fd);
    wakeThread();
  } else {
    close(fd);
  }
  return last;
}

void StderrCollector::shutdown() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!thread_.joinable()) return;
    stopping_ = true;
    wakeThread();
  }
  thread_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  for (int fd : toClose_) close(fd);
  toClose_.clear();
  toAdd_.clear();
  close(wake_[0]);
  close(wake_[1]);
  wake_[0] = wake_[1] = -1;
  stopping_ = false;
}

size_t StderrCollector::watched() {
  std::lock_guard<std::mutex> lock(mutex_);
  return pipes_.size();
}

bool StderrCollector::startThread() {
  if (thread_.joinable()) return true;
  if (!Launch::makePipe(wake_)) return false;
  if (fcntl(wake_[0], F_SETFL, O_NONBLOCK) != 0 || fcntl(wake_[1], F_SETFL, O_NONBLOCK) != 0) {
    close(wake_[0]);
    close(wake_[1]);
    wake_[0] = wake_[1] = -1;
    return false;
  }
  // Pipes kept over an earlier shutdown are watched again.
  toAdd_.clear();
  for (const auto& entry : pipes_) {
    if (!entry.second.eof) toAdd_.push_back(entry.first);
  }
  thread_ = std::thread(&StderrCollector::run, this);
  return true;
}

void StderrCollector::wakeThread() {
  if (wake_[1] < 0) return;
  ssize_t n;
  do {
    n = write(wake_[1], "w", 1);
  } while (n < 0 && errno == EINTR);
  // A full wake pipe already wakes the thread.
}

void StderrCollector::run() {
  int wake_fd;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    wake_fd = wake_[0];
  }
  std::unique_ptr<korza::EventPoller> made;
  try {
    made = std::make_unique<korza::EventPoller>();
  } catch (const std::exception& e) {
    monitorLog().error(std::string("cannot watch the standard error of components: ") + e.what());
    return;
  }
  korza::EventPoller& poller = *made;
  if (!poller.add(wake_fd)) {
    monitorLog().error("cannot watch the standard error of components: " + Utils::errorText(errno));
    return;
  }
  std::vector<int> ready;
  bool reported = false;
  for (;;) {
    if (poller.wait(-1, ready) < 0) {
      if (errno == EINTR) continue;
      if (!reported) {
        monitorLog().error("cannot wait for the standard error of components: " +
                           Utils::errorText(errno));
      }
      reported = true;
      poll(nullptr, 0, 100);
      continue;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    for (int fd : toClose_) {
      poller.remove(fd);
      close(fd);
    }
    toClose_.clear();
    if (stopping_) return;
    for (int fd : toAdd_) {
      if (pipes_.count(fd) != 0 && !poller.add(fd)) {
        monitorLog().error("cannot watch the standard error of a component: " +
                           Utils::errorText(errno));
      }
    }
    toAdd_.clear();
    for (int fd : ready) {
      if (fd == wake_fd) {
        char buf[256];
        while (read(wake_fd, buf, sizeof(buf)) > 0) {
        }
        continue;
      }
      const auto it = pipes_.find(fd);
      if (it == pipes_.end()) {
        poller.remove(fd);
        continue;
      }
      readPipe(fd, it->second, kReadBudget);
      // At its end the pipe stays open, so that its number stays its own
      // until the component lets go of it.
      if (it->second.eof) poller.remove(fd);
    }
  }
}

void StderrCollector::readPipe(int fd, Pipe& pipe, size_t budget) {
  const int64_t now = nowMs();
  char buf[16384];
  size_t total = 0;
  while (total < budget) {
    const ssize_t n = read(fd, buf, sizeof(buf));
    if (n > 0) {
      takeBytes(pipe, buf, static_cast<size_t>(n), now);
      total += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) pipe.eof = true;
      break;
    }
  }
}

void StderrCollector::takeBytes(Pipe& pipe, const char* data, size_t size, int64_t now) {
  const char* end = data + size;
  while (data < end) {
    const char* newline = static_cast<const char*>(memchr(data, '\n', end - data));
    const char* stop = newline == nullptr ? end : newline;
    const size_t room = kMaxLine - pipe.line.size();
    const size_t take = std::min(room, static_cast<size_t>(stop - data));
    pipe.line.append(data, take);
    if (take < static_cast<size_t>(stop - data)) pipe.cut = true;
    if (newline == nullptr) break;
    endLine(pipe, now);
    data = newline + 1;
  }
}

void StderrCollector::endLine(Pipe& pipe, int64_t now) {
  if (pipe.line.empty()) {
    pipe.cut = false;
    return;
  }
  std::string text = Utils::printable(pipe.line);
  if (text.size() > kMaxLine) text.resize(kMaxLine);
  pipe.line.clear();
  pipe.cut = false;
  pipe.lastLine = text;
  pipe.lastLineMs = now;
  pipe.tokens = std::min<double>(
      kBurst, pipe.tokens + static_cast<double>(now - pipe.refilledMs) * kLinesPerSecond / 1000.0);
  pipe.refilledMs = now;
  if (pipe.tokens < 1) {
    ++pipe.dropped;
    return;
  }
  pipe.tokens -= 1;
  logLine(pipe, text);
}

void StderrCollector::logLine(Pipe& pipe, const std::string& text) {
  const std::string head =
      "component \"" + Utils::printable(pipe.name) + "\" (pid " + std::to_string(pipe.pid) + "): ";
  std::string tail;
  if (pipe.dropped != 0) {
    tail = std::string(text.empty() ? "" : " ") + "[" + std::to_string(pipe.dropped) +
           " earlier lines dropped]";
    pipe.dropped = 0;
  }
  // The whole line fits the log's buffer, so the count of dropped lines is
  // never the part that is cut.
  const size_t room =
      head.size() + tail.size() < kMaxLine ? kMaxLine - head.size() - tail.size() : 0;
  monitorLog().error(head + text.substr(0, room) + tail);
}
