#include "apps/owner_index.h"

#include <algorithm>

namespace {

// The first (pid, component) entry of `p` in entries sorted by pid, or
// where one would go.
template <typename Entries>
auto firstOf(Entries& entries, pid_t p) {
  return std::lower_bound(entries.begin(), entries.end(), p,
                          [](const auto& e, pid_t q) { return e.first < q; });
}

}  // namespace

Component* OwnerIndex::byFd(int descriptor) const {
  if (descriptor < 0 || static_cast<size_t>(descriptor) >= fds_.size()) return nullptr;
  return fds_[static_cast<size_t>(descriptor)];
}

std::vector<Component*> OwnerIndex::byPid(pid_t p) const {
  std::vector<Component*> out;
  for (auto it = firstOf(pids_, p); it != pids_.end() && it->first == p; ++it) {
    out.push_back(it->second);
  }
  return out;
}

void OwnerIndex::descriptors(std::vector<int>& out) const {
  out.reserve(out.size() + fdCount_);
  for (size_t fd = 0; fd < fds_.size(); ++fd) {
    if (fds_[fd] != nullptr) out.push_back(static_cast<int>(fd));
  }
}

void OwnerIndex::eraseFd(int descriptor, const Component& comp) {
  if (byFd(descriptor) != &comp) return;
  fds_[static_cast<size_t>(descriptor)] = nullptr;
  --fdCount_;
  if (listener_) listener_(descriptor, false);
}

void OwnerIndex::erasePid(pid_t p, const Component& comp) {
  if (p < 1) return;
  for (auto it = firstOf(pids_, p); it != pids_.end() && it->first == p; ++it) {
    if (it->second == &comp) {
      pids_.erase(it);
      return;
    }
  }
}

void OwnerIndex::fdChanged(Component& comp, int old_fd) {
  eraseFd(old_fd, comp);
  const int fd = comp.getFd();
  if (fd < 0) return;
  const size_t slot = static_cast<size_t>(fd);
  if (slot >= fds_.size()) fds_.resize(slot + 1, nullptr);
  if (fds_[slot] == nullptr) ++fdCount_;
  fds_[slot] = &comp;
  if (listener_) listener_(fd, true);
}

void OwnerIndex::pidChanged(Component& comp, pid_t old_pid) {
  erasePid(old_pid, comp);
  const pid_t p = comp.getPid();
  if (p < 1) return;
  auto at = firstOf(pids_, p);
  while (at != pids_.end() && at->first == p) ++at;
  pids_.emplace(at, p, &comp);
}

void OwnerIndex::moved(Component& from, Component& to) {
  if (byFd(to.getFd()) == &from) fds_[static_cast<size_t>(to.getFd())] = &to;
  for (auto it = firstOf(pids_, to.getPid()); it != pids_.end() && it->first == to.getPid(); ++it) {
    if (it->second == &from) it->second = &to;
  }
}

void OwnerIndex::removed(Component& comp) {
  eraseFd(comp.getFd(), comp);
  erasePid(comp.getPid(), comp);
}
