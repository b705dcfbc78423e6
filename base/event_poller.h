// Waiting on many descriptors at once without handing the whole list to the
// kernel on every wait: a descriptor is registered once and stays watched
// until it is removed, so a wait costs what is ready, not what is watched.
//
// On Linux the watch list lives in an epoll instance, on FreeBSD in a
// kqueue; elsewhere (or when asked for) poll() stands in, over an array kept
// between waits and changed in O(1) per descriptor. Every mechanism reports
// a descriptor that has input, has reached end-of-file or has failed; what
// it was is for the caller to read.
//
// Thread safety: none. One thread adds, removes and waits. A descriptor
// must be removed before it is closed: a closed descriptor still watched
// may be reported under its number after the number is reused.
#ifndef KORZA_BASE_EVENT_POLLER_H_
#define KORZA_BASE_EVENT_POLLER_H_

#include <poll.h>

#include <cstddef>
#include <vector>

namespace korza {

class EventPoller {
 public:
  // With `portable` on, poll() is used even where a kernel watch list
  // exists. Throws std::runtime_error "cannot create the event poller: "
  // + the system error text when the kernel object cannot be made.
  explicit EventPoller(bool portable = false);
  ~EventPoller();
  EventPoller(const EventPoller&) = delete;
  EventPoller& operator=(const EventPoller&) = delete;

  // Watches `fd` for input, end-of-file and errors. True when it is watched
  // afterwards (also when it already was); false with errno set otherwise.
  bool add(int fd);
  // Stops watching `fd`; an unknown descriptor is ignored.
  void remove(int fd);
  bool watches(int fd) const {
    return fd >= 0 && static_cast<size_t>(fd) < slot_.size() && slot_[fd] >= 0;
  }
  size_t size() const { return watched_; }

  // Waits up to `timeout_ms` (negative: without limit; 0: just look) until a
  // watched descriptor is ready, and stores the ready ones in `ready`
  // (emptied first). Returns their number, 0 at the time-out, or -1 with
  // errno set (EINTR included: the caller decides whether to wait again).
  int wait(int timeout_ms, std::vector<int>& ready);

  // "epoll", "kqueue" or "poll".
  const char* mechanism() const;

 private:
  int kernel_ = -1;  // the epoll / kqueue descriptor; -1 with poll()
  // Indexed by descriptor number (descriptors are small and dense): its
  // slot in polled_ (poll()) or 0 (kernel list) while watched, else -1.
  std::vector<int> slot_;
  size_t watched_ = 0;
  std::vector<struct pollfd> polled_;  // poll() only
};

}  // namespace korza

#endif  // KORZA_BASE_EVENT_POLLER_H_
