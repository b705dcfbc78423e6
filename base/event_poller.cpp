#include "base/event_poller.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <stdexcept>
#include <string>

#if defined(__linux__)
#include <sys/epoll.h>
#define KZ_POLLER_EPOLL 1
#elif defined(__FreeBSD__) || defined(__APPLE__) || defined(__NetBSD__) || defined(__OpenBSD__)
#include <sys/event.h>
#include <sys/time.h>
#define KZ_POLLER_KQUEUE 1
#endif

#include "base/utils.h"

namespace korza {

#if defined(KZ_POLLER_EPOLL) || defined(KZ_POLLER_KQUEUE)
namespace {

// Ready descriptors taken from the kernel per wait; more stay reported (the
// lists are level-triggered) and come with the next wait.
constexpr int kBatch = 64;

int createKernelList() {
#if defined(KZ_POLLER_EPOLL)
  return epoll_create1(EPOLL_CLOEXEC);
#elif defined(KZ_POLLER_KQUEUE)
  const int kq = kqueue();
  if (kq >= 0 && fcntl(kq, F_SETFD, FD_CLOEXEC) != 0) {
    const int saved = errno;
    close(kq);
    errno = saved;
    return -1;
  }
  return kq;
#endif
}

}  // namespace
#endif

EventPoller::EventPoller(bool portable) {
#if defined(KZ_POLLER_EPOLL) || defined(KZ_POLLER_KQUEUE)
  if (portable) return;
  kernel_ = createKernelList();
  if (kernel_ < 0) {
    throw std::runtime_error("cannot create the event poller: " + Utils::errorText(errno));
  }
#else
  (void)portable;
#endif
}

EventPoller::~EventPoller() {
  if (kernel_ >= 0) close(kernel_);
}

const char* EventPoller::mechanism() const {
  if (kernel_ < 0) return "poll";
#if defined(KZ_POLLER_EPOLL)
  return "epoll";
#else
  return "kqueue";
#endif
}

bool EventPoller::add(int fd) {
  if (fd < 0) {
    errno = EBADF;
    return false;
  }
  if (watches(fd)) return true;
  if (static_cast<size_t>(fd) >= slot_.size()) slot_.resize(static_cast<size_t>(fd) + 1, -1);
  if (kernel_ < 0) {
    polled_.push_back(pollfd{fd, POLLIN, 0});
    slot_[fd] = static_cast<int>(polled_.size() - 1);
    ++watched_;
    return true;
  }
#if defined(KZ_POLLER_EPOLL)
  struct epoll_event ev = {};
  ev.events = EPOLLIN;
  ev.data.fd = fd;
  if (epoll_ctl(kernel_, EPOLL_CTL_ADD, fd, &ev) != 0) return false;
#elif defined(KZ_POLLER_KQUEUE)
  struct kevent change;
  EV_SET(&change, static_cast<uintptr_t>(fd), EVFILT_READ, EV_ADD, 0, 0, nullptr);
  int rc;
  do rc = kevent(kernel_, &change, 1, nullptr, 0, nullptr);
  while (rc < 0 && errno == EINTR);
  if (rc < 0) return false;
#endif
  slot_[fd] = 0;
  ++watched_;
  return true;
}

void EventPoller::remove(int fd) {
  if (!watches(fd)) return;
  const size_t slot = static_cast<size_t>(slot_[fd]);
  slot_[fd] = -1;
  --watched_;
  if (kernel_ < 0) {
    // Swap with the last slot: O(1), the order of the array is not kept.
    if (slot + 1 != polled_.size()) {
      polled_[slot] = polled_.back();
      slot_[polled_[slot].fd] = static_cast<int>(slot);
    }
    polled_.pop_back();
    return;
  }
  // A failure means the kernel has already forgotten it (closed early).
#if defined(KZ_POLLER_EPOLL)
  struct epoll_event ev = {};
  epoll_ctl(kernel_, EPOLL_CTL_DEL, fd, &ev);
#elif defined(KZ_POLLER_KQUEUE)
  struct kevent change;
  EV_SET(&change, static_cast<uintptr_t>(fd), EVFILT_READ, EV_DELETE, 0, 0, nullptr);
  kevent(kernel_, &change, 1, nullptr, 0, nullptr);
#endif
}

int EventPoller::wait(int timeout_ms, std::vector<int>& ready) {
  ready.clear();
  if (timeout_ms < 0) timeout_ms = -1;
  if (kernel_ < 0) {
    const int rc = poll(polled_.data(), static_cast<nfds_t>(polled_.size()), timeout_ms);
    if (rc <= 0) return rc;
    for (const struct pollfd& p : polled_) {
      if (p.revents != 0) ready.push_back(p.fd);
    }
    return static_cast<int>(ready.size());
  }
#if defined(KZ_POLLER_EPOLL)
  struct epoll_event events[kBatch];
  const int rc = epoll_wait(kernel_, events, kBatch, timeout_ms);
  if (rc <= 0) return rc;
  for (int i = 0; i < rc; ++i) ready.push_back(events[i].data.fd);
#elif defined(KZ_POLLER_KQUEUE)
  struct kevent events[kBatch];
  struct timespec ts = {timeout_ms / 1000, static_cast<long>(timeout_ms % 1000) * 1000000L};
  const int rc = kevent(kernel_, nullptr, 0, events, kBatch, timeout_ms < 0 ? nullptr : &ts);
  if (rc <= 0) return rc;
  for (int i = 0; i < rc; ++i) ready.push_back(static_cast<int>(events[i].ident));
#else
  const int rc = 0;
#endif
  return rc;
}

}  // namespace korza
