#include "apps/deferred_event_store.h"

#include <algorithm>
#include <chrono>
#include <string>

#include "base/log.h"

namespace {

// std::*_heap build a max-heap; "greater due time" puts the earliest on top.
bool laterDue(const FaultEvent& a, const FaultEvent& b) { return a.dueMs > b.dueMs; }

}  // namespace

int64_t DeferredEventStore::monotonicMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void DeferredEventStore::pushFault(FaultEvent event) {
  ++event.tryNumber;
  if (event.tryNumber > recoveryTimes_.size()) throw TimeoutError();
  int64_t offset = 0;
  for (uint32_t i = 0; i < event.tryNumber; ++i) offset += recoveryTimes_[i];
  event.dueMs = event.seenMs + offset * 1000;
  event.dueTime = event.dueMs / 1000;
  push(event);
}

void DeferredEventStore::push(const FaultEvent& event) {
  const auto old_end = events_.end();
  const auto new_end = std::remove_if(events_.begin(), events_.end(),
                                      [&](const FaultEvent& e) { return e.pid == event.pid; });
  if (new_end != old_end) {
    events_.erase(new_end, old_end);
    std::make_heap(events_.begin(), events_.end(), laterDue);
    korza::monitorLog().alert("equal pid error, pid=" + std::to_string(event.pid));
  }
  events_.push_back(event);
  std::push_heap(events_.begin(), events_.end(), laterDue);
}

bool DeferredEventStore::popReady(FaultEvent& out) { return popReadyAtMs(out, clock_(), nullptr); }

bool DeferredEventStore::popReady(FaultEvent& out, int64_t now) {
  return popReadyAtMs(out, now * 1000, nullptr);
}

bool DeferredEventStore::popReadyIf(FaultEvent& out,
                                    const std::function<bool(const FaultEvent&)>& wanted) {
  return popReadyAtMs(out, clock_(), &wanted);
}

bool DeferredEventStore::popReadyAtMs(FaultEvent& out, int64_t now_ms,
                                      const std::function<bool(const FaultEvent&)>* wanted) {
  if (events_.empty() || now_ms < events_.front().dueMs) return false;
  if (wanted == nullptr || (*wanted)(events_.front())) {
    std::pop_heap(events_.begin(), events_.end(), laterDue);
    out = events_.back();
    events_.pop_back();
    return true;
  }
  auto best = events_.end();
  for (auto it = events_.begin(); it != events_.end(); ++it) {
    if (now_ms < it->dueMs || !(*wanted)(*it)) continue;
    if (best == events_.end() || it->dueMs < best->dueMs) best = it;
  }
  if (best == events_.end()) return false;
  out = *best;
  events_.erase(best);
  std::make_heap(events_.begin(), events_.end(), laterDue);
  return true;
}

int64_t DeferredEventStore::msUntilNextDue() const {
  if (events_.empty()) return -1;
  const int64_t left = events_.front().dueMs - clock_();
  return left > 0 ? left : 0;
}
