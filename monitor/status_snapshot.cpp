#include "monitor/status_snapshot.h"

#include <unistd.h>

#include <ctime>
#include <memory>
#include <unordered_map>

#include "base/utils.h"

using korza::postd::ApplicationStatus;
using korza::postd::ComponentState;
using korza::postd::ComponentStatus;
using korza::postd::StatusSnapshot;

korza::postd::StatusSnapshotPtr takeStatusSnapshot(const AppStore& store,
                                                   const DeferredEventStore& events,
                                                   const Utils::NameSet& run_set,
                                                   int64_t start_time) {
  auto status = std::make_shared<StatusSnapshot>();
  status->pid = static_cast<int32_t>(getpid());
  status->startTime = start_time;
  status->version = Utils::version();
  status->time = static_cast<int64_t>(::time(nullptr));
  // Due times are kept on the schedule's clock; the status shows them on
  // the wall clock, as seen from now.
  const int64_t now_ms = events.nowMs();
  std::unordered_map<int32_t, int64_t> due;
  for (const FaultEvent& event : events.events()) {
    due[event.pid] = status->time + (event.dueMs - now_ms + 999) / 1000;
  }
  status->applications.reserve(store.getApps().size());
  for (const AppStore::AppPtr& app : store.getApps()) {
    ApplicationStatus a;
    a.name = app->getName();
    a.fullName = app->getFullName();
    a.started = app->isStarted();
    a.inRunList = run_set.count(app->getName()) != 0;
    a.components.reserve(app->getComponents().size());
    for (const Component& comp : app->getComponents()) {
      ComponentStatus c;
      c.name = comp.getName();
      const Component::History& history = comp.history();
      c.lastStart = history.lastStart;
      c.restarts = history.restarts;
      c.lastFaultTime = history.lastFaultTime;
      c.lastFault = history.lastFault;
      if (comp.isStarted() && comp.getPid() > 0) {
        c.state = ComponentState::kRunning;
        c.pid = static_cast<int32_t>(comp.getPid());
      } else if (history.givenUp) {
        c.state = ComponentState::kGivenUp;
      } else if (comp.getPid() > 0) {
        // A dead instance keeps its pid until the restart that its fault
        // event schedules.
        const auto it = due.find(comp.getPid());
        if (it != due.end()) {
          c.state = ComponentState::kWaiting;
          c.dueTime = it->second;
        }
      }
      a.components.push_back(std::move(c));
    }
    status->applications.push_back(std::move(a));
  }
  return status;
}
