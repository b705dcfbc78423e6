// Watching the management descriptors: the read ends of the components'
// answer pipes. End-of-file on one means its component has gone; data on
// one is logged and otherwise ignored.
//
// ManagementFds keeps the descriptors of the running components in the
// platform's event mechanism (registered when a component answers, removed
// before its descriptor is closed) beside a wake pipe, so that the main loop
// sleeps until a component dies, its next deadline comes or another thread
// wakes it, and a quiet daemon does not wake at all.
//
// Thread safety: collectClosedDescriptors has no state. A ManagementFds is
// used by the thread that drives the components, except wake(), which any
// thread may call.
#ifndef KORZA_MONITOR_MANAGEMENT_FDS_H_
#define KORZA_MONITOR_MANAGEMENT_FDS_H_

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "apps/management_fd_watch.h"
#include "base/event_poller.h"

// Waits at most `timeout_ms` (0: just look) for any of `fds` (values below 1
// are skipped) to become readable, reads what is there and returns the
// descriptors that reached end-of-file, in the order given. Uses poll, so
// descriptor numbers are not limited to the first 1024. Interrupted waits are
// restarted with the time that is left. A readable `wake_fd` (-1: none)
// ends the wait early; it is drained and never reported.
std::vector<int> collectClosedDescriptors(const std::vector<int>& fds, int timeout_ms,
                                          int wake_fd = -1);

class ManagementFds : public ManagementFdWatch {
 public:
  // Uses the platform's event mechanism, or poll() when it cannot be had
  // (logged at error level) or `portable` asks for it.
  explicit ManagementFds(bool portable = false);
  ~ManagementFds() override;
  ManagementFds(const ManagementFds&) = delete;
  ManagementFds& operator=(const ManagementFds&) = delete;

  // ManagementFdWatch: a component's descriptor opened / is about to close.
  void fdOpened(int fd) override;
  void fdClosing(int fd) override;

  // Ends the current or the next wait (any thread).
  void wake();

  // Waits up to `timeout_ms` (negative: without limit; 0: just look) until
  // a watched descriptor is ready or wake() was called, and returns the
  // descriptors that reached end-of-file (data is read and logged). With
  // `drain` the wake-up is consumed; without, it stays for the next waiter
  // that drains. An interrupted wait returns nothing.
  std::vector<int> wait(int timeout_ms, bool drain);

  // Descriptors watched (the wake pipe not counted).
  size_t watched() const {
    return poller_->size() - (poller_->watches(wake_[0]) ? 1 : 0) + unwatched_.size();
  }
  bool watches(int fd) const {
    return poller_->watches(fd) ||
           std::find(unwatched_.begin(), unwatched_.end(), fd) != unwatched_.end();
  }
  // Counts every descriptor opened or closed so far.
  uint64_t changes() const { return changes_; }
  const char* mechanism() const { return poller_->mechanism(); }

 private:
  std::unique_ptr<korza::EventPoller> poller_;
  // Descriptors the event mechanism refused (its own limit reached); they
  // are looked at with poll() at least once a second.
  std::vector<int> unwatched_;
  int wake_[2] = {-1, -1};
  uint64_t changes_ = 0;
};

#endif  // KORZA_MONITOR_MANAGEMENT_FDS_H_
