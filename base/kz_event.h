// A named event: threads wait for a value that another thread sets (waking
// one waiter) or broadcasts (waking all). A set that finds nobody waiting is
// kept until the next wait takes it; a broadcast reaches only the threads
// waiting at that moment.
//
// Thread safety: every member may be called from any thread. The destructor
// wakes the remaining waiters and waits until they have left.
#ifndef KORZA_BASE_KZ_EVENT_H_
#define KORZA_BASE_KZ_EVENT_H_

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "base/kz_timeout.h"

namespace korza {
namespace base {

// The value carried by a signal that has no argument.
const uint32_t kEventEmptyArg = 0;

class KzEvent {
 public:
  enum WaitResult { kReceived, kTimedOut, kDeleted };

  explicit KzEvent(const std::string& name);
  ~KzEvent();
  KzEvent(const KzEvent&) = delete;
  KzEvent& operator=(const KzEvent&) = delete;

  void Set(uint32_t value = kEventEmptyArg);
  void Broadcast(uint32_t value = kEventEmptyArg);
  // Blocks until a value arrives (stored in *value), the timeout passes or
  // the event is being deleted.
  WaitResult Wait(const KzTimeout& timeout, uint32_t* value);

  const std::string& name() const { return name_; }
  int waiters() const;

 private:
  const std::string name_;
  mutable std::mutex mutex_;
  std::condition_variable cond_;
  std::condition_variable gone_;
  int waiters_ = 0;               // GUARDED_BY(mutex_)
  bool pending_ = false;          // a Set not yet taken; GUARDED_BY(mutex_)
  uint32_t pending_value_ = 0;    // GUARDED_BY(mutex_)
  uint64_t generation_ = 0;       // counts broadcasts; GUARDED_BY(mutex_)
  uint32_t broadcast_value_ = 0;  // GUARDED_BY(mutex_)
  bool deleting_ = false;         // GUARDED_BY(mutex_)
};

}  // namespace base
}  // namespace korza

#endif  // KORZA_BASE_KZ_EVENT_H_
