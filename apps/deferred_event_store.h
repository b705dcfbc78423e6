// The fault events of dead components, ordered by the time their next
// restart attempt is due, and the limit on attempts set by the recovery-time
// list: attempt k after a fault at T is due at T + i1 + ... + ik.
//
// Thread safety: none; used only from the supervisor's main-loop thread.
#ifndef KORZA_APPS_DEFERRED_EVENT_STORE_H_
#define KORZA_APPS_DEFERRED_EVENT_STORE_H_

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <vector>

// One death of a component instance and the attempts scheduled for it.
struct FaultEvent {
  FaultEvent() = default;
  FaultEvent(int64_t fault_time, int32_t fault_pid) : faultTime(fault_time), pid(fault_pid) {}

  int32_t dueTime = 0;     // when the next attempt may run; set by pushFault
  int64_t faultTime = 0;   // when the death was noticed
  int32_t pid = -1;        // the dead instance
  uint32_t tryNumber = 0;  // attempts scheduled so far
};

class DeferredEventStore {
 public:
  class TimeoutError : public std::logic_error {
   public:
    TimeoutError() : std::logic_error("pushFault() error: try number is over") {}
  };

  void setRecoveryTimes(const std::vector<int32_t>& times) { recoveryTimes_ = times; }
  const std::vector<int32_t>& recoveryTimes() const { return recoveryTimes_; }

  // Counts one more attempt and files the event for it. Throws TimeoutError
  // when the recovery list has no interval left for that attempt.
  void pushFault(FaultEvent event);

  // Takes the earliest event if it is due (now >= due time).
  bool popReady(FaultEvent& out);
  // The same with the current time given.
  bool popReady(FaultEvent& out, int64_t now);
  // Takes the earliest due event that `wanted` accepts; the others stay
  // queued untouched.
  bool popReadyIf(FaultEvent& out, const std::function<bool(const FaultEvent&)>& wanted);
  bool popReadyIf(FaultEvent& out, const std::function<bool(const FaultEvent&)>& wanted,
                  int64_t now);

  // The queued events, in no particular order.
  const std::vector<FaultEvent>& events() const { return events_; }
  size_t size() const { return events_.size(); }
  bool empty() const { return events_.empty(); }

 private:
  // Files the event, replacing a queued event of the same pid.
  void push(const FaultEvent& event);

  std::vector<FaultEvent> events_;  // min-heap by due time
  std::vector<int32_t> recoveryTimes_;
};

#endif  // KORZA_APPS_DEFERRED_EVENT_STORE_H_
