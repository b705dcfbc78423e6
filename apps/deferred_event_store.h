// The fault events of dead components, ordered by the time their next
// restart attempt is due, and the limit on attempts set by the recovery-time
// list: attempt k after a death seen at T is due at T + i1 + ... + ik.
//
// The schedule runs on its own clock, the monotonic one by default, in
// milliseconds: setting the system clock neither delays nor hurries a
// restart. The wall-clock time of the death travels with the event for the
// notices.
//
// Thread safety: none; used only from the supervisor's main-loop thread.
#ifndef KORZA_APPS_DEFERRED_EVENT_STORE_H_
#define KORZA_APPS_DEFERRED_EVENT_STORE_H_

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <utility>
#include <vector>

// One death of a component instance and the attempts scheduled for it.
struct FaultEvent {
  FaultEvent() = default;
  // A death seen at `fault_time`, which is also where its schedule starts
  // (in seconds of the schedule's clock).
  FaultEvent(int64_t fault_time, int32_t fault_pid)
      : faultTime(fault_time), seenMs(fault_time * 1000), pid(fault_pid) {}
  // A death seen at `fault_time` (wall clock, seconds since the epoch) and
  // at `seen_ms` on the schedule's clock.
  FaultEvent(int64_t fault_time, int64_t seen_ms, int32_t fault_pid)
      : faultTime(fault_time), seenMs(seen_ms), pid(fault_pid) {}

  int64_t dueTime = 0;     // second of the schedule's clock of the next attempt
  int64_t dueMs = 0;       // the same in milliseconds; set by pushFault
  int64_t faultTime = 0;   // when the death was noticed, wall clock
  int64_t seenMs = 0;      // the same on the schedule's clock
  int32_t pid = -1;        // the dead instance
  uint32_t tryNumber = 0;  // attempts scheduled so far
};

class DeferredEventStore {
 public:
  class TimeoutError : public std::logic_error {
   public:
    TimeoutError() : std::logic_error("pushFault() error: try number is over") {}
  };

  // Milliseconds of the schedule's clock.
  using Clock = std::function<int64_t()>;

  // The monotonic clock, in milliseconds.
  static int64_t monotonicMs();

  DeferredEventStore() : clock_(monotonicMs) {}
  // A store on another clock (tests).
  explicit DeferredEventStore(Clock clock) : clock_(std::move(clock)) {}

  void setRecoveryTimes(const std::vector<int32_t>& times) { recoveryTimes_ = times; }
  const std::vector<int32_t>& recoveryTimes() const { return recoveryTimes_; }

  // The schedule clock's current time in milliseconds.
  int64_t nowMs() const { return clock_(); }

  // Counts one more attempt and files the event for it. Throws TimeoutError
  // when the recovery list has no interval left for that attempt.
  void pushFault(FaultEvent event);

  // Takes the earliest event if it is due (now >= due time).
  bool popReady(FaultEvent& out);
  // The same with the current time given in seconds of the schedule's clock.
  bool popReady(FaultEvent& out, int64_t now);
  // Takes the earliest due event that `wanted` accepts; the others stay
  // queued untouched.
  bool popReadyIf(FaultEvent& out, const std::function<bool(const FaultEvent&)>& wanted);

  // Milliseconds until the earliest event is due (0 when it is), or -1 when
  // nothing is queued.
  int64_t msUntilNextDue() const;

  // The queued events, in no particular order.
  const std::vector<FaultEvent>& events() const { return events_; }
  size_t size() const { return events_.size(); }
  bool empty() const { return events_.empty(); }

 private:
  // Files the event, replacing a queued event of the same pid.
  void push(const FaultEvent& event);
  bool popReadyAtMs(FaultEvent& out, int64_t now_ms,
                    const std::function<bool(const FaultEvent&)>* wanted);

  Clock clock_;
  std::vector<FaultEvent> events_;  // min-heap by due time
  std::vector<int32_t> recoveryTimes_;
};

#endif  // KORZA_APPS_DEFERRED_EVENT_STORE_H_
