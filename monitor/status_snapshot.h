// The status snapshot of the supervisor: what every application and
// component of the store is doing, copied out of the store so that the
// control server's thread can answer status requests without touching it.
//
// Thread safety: takeStatusSnapshot reads the store and must run on the
// thread that drives it; the snapshot it returns is immutable and may be
// shared with any thread.
#ifndef KORZA_MONITOR_STATUS_SNAPSHOT_H_
#define KORZA_MONITOR_STATUS_SNAPSHOT_H_

#include <cstdint>

#include "apps/app_store.h"
#include "apps/deferred_event_store.h"
#include "ipc/kz_status_proto.h"

// A component is running while started, waiting while a restart of its
// dead instance is queued in `events`, given up once its recovery list was
// used up, and stopped otherwise. `run_set` holds the applications the
// daemon is set to run, with their dependencies.
korza::postd::StatusSnapshotPtr takeStatusSnapshot(const AppStore& store,
                                                   const DeferredEventStore& events,
                                                   const Utils::NameSet& run_set,
                                                   int64_t start_time);

#endif  // KORZA_MONITOR_STATUS_SNAPSHOT_H_
