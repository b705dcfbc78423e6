#include "apps/deferred_event_store.h"

#include <algorithm>
#include <ctime>
#include <string>

#include "base/log.h"

namespace {

// std::*_heap build a max-heap; "greater due time" puts the earliest on top.
bool laterDue(const FaultEvent& a, const FaultEvent& b) { return a.dueTime > b.dueTime; }

}  // namespace

void DeferredEventStore::pushFault(FaultEvent event) {
  ++event.tryNumber;
  if (event.tryNumber > recoveryTimes_.size()) throw TimeoutError();
  int64_t offset = 0;
  for (uint32_t i = 0; i < event.tryNumber; ++i) offset += recoveryTimes_[i];
  event.dueTime = static_cast<int32_t>(event.faultTime + offset);
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

bool DeferredEventStore::popReady(FaultEvent& out) {
  return popReady(out, static_cast<int64_t>(time(nullptr)));
}

bool DeferredEventStore::popReady(FaultEvent& out, int64_t now) {
  if (events_.empty()) return false;
  if (now < events_.front().dueTime) return false;
  std::pop_heap(events_.begin(), events_.end(), laterDue);
  out = events_.back();
  events_.pop_back();
  return true;
}

bool DeferredEventStore::popReadyIf(FaultEvent& out,
                                    const std::function<bool(const FaultEvent&)>& wanted) {
  return popReadyIf(out, wanted, static_cast<int64_t>(time(nullptr)));
}

bool DeferredEventStore::popReadyIf(FaultEvent& out,
                                    const std::function<bool(const FaultEvent&)>& wanted,
                                    int64_t now) {
  auto best = events_.end();
  for (auto it = events_.begin(); it != events_.end(); ++it) {
    if (now < it->dueTime || !wanted(*it)) continue;
    if (best == events_.end() || it->dueTime < best->dueTime) best = it;
  }
  if (best == events_.end()) return false;
  out = *best;
  events_.erase(best);
  std::make_heap(events_.begin(), events_.end(), laterDue);
  return true;
}
