// Which component (and application) holds a management descriptor or a
// pid, found by hash lookup instead of a walk over every application and
// component. Components attached to it report each change of either value,
// each move in memory and their end, so it stays in step through start,
// restart, stop and reload.
//
// Thread safety: none. Used by the thread that drives the supervisor, as
// the components are.
#ifndef KORZA_APPS_OWNER_INDEX_H_
#define KORZA_APPS_OWNER_INDEX_H_

#include <sys/types.h>

#include <functional>
#include <utility>
#include <vector>

#include "apps/component.h"

class OwnerIndex : public ComponentIndex {
 public:
  // Called with (descriptor, true) when a component takes a management
  // descriptor and (descriptor, false) when it lets go of it (before the
  // descriptor is reused by anything else).
  using FdListener = std::function<void(int, bool)>;

  OwnerIndex() = default;
  OwnerIndex(const OwnerIndex&) = delete;
  OwnerIndex& operator=(const OwnerIndex&) = delete;

  // The component holding the descriptor, or null.
  Component* byFd(int descriptor) const;
  // The components carrying the pid (a stopped component keeps the pid of
  // its last instance, so a pid may be carried twice after the system
  // reused it); empty when none.
  std::vector<Component*> byPid(pid_t p) const;
  // Every descriptor held, in no particular order.
  void descriptors(std::vector<int>& out) const;
  size_t fdCount() const { return fdCount_; }

  void setFdListener(FdListener listener) { listener_ = std::move(listener); }

  void fdChanged(Component& comp, int old_fd) override;
  void pidChanged(Component& comp, pid_t old_pid) override;
  void moved(Component& from, Component& to) override;
  void removed(Component& comp) override;

 private:
  void eraseFd(int descriptor, const Component& comp);
  void erasePid(pid_t p, const Component& comp);

  // Indexed by descriptor number (descriptors are small and dense); null
  // where no component holds it.
  std::vector<Component*> fds_;
  size_t fdCount_ = 0;
  // (pid, component) sorted by pid: a pid may be carried twice. New pids
  // mostly go at the end, and an array takes a fraction of a hash map's
  // memory for a large daemon.
  using PidEntry = std::pair<pid_t, Component*>;
  std::vector<PidEntry> pids_;
  FdListener listener_;
};

#endif  // KORZA_APPS_OWNER_INDEX_H_
