#include "apps/owner_index.h"

Component* OwnerIndex::byFd(int descriptor) const {
  const auto it = fds_.find(descriptor);
  return it == fds_.end() ? nullptr : it->second;
}

std::vector<Component*> OwnerIndex::byPid(pid_t p) const {
  std::vector<Component*> out;
  const auto range = pids_.equal_range(p);
  for (auto it = range.first; it != range.second; ++it) out.push_back(it->second);
  return out;
}

void OwnerIndex::descriptors(std::vector<int>& out) const {
  out.reserve(out.size() + fds_.size());
  for (const auto& kv : fds_) out.push_back(kv.first);
}

void OwnerIndex::eraseFd(int descriptor, const Component& comp) {
  if (descriptor < 0) return;
  const auto it = fds_.find(descriptor);
  if (it == fds_.end() || it->second != &comp) return;
  fds_.erase(it);
  if (listener_) listener_(descriptor, false);
}

void OwnerIndex::erasePid(pid_t p, const Component& comp) {
  if (p < 1) return;
  const auto range = pids_.equal_range(p);
  for (auto it = range.first; it != range.second; ++it) {
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
  fds_[fd] = &comp;
  if (listener_) listener_(fd, true);
}

void OwnerIndex::pidChanged(Component& comp, pid_t old_pid) {
  erasePid(old_pid, comp);
  if (comp.getPid() > 0) pids_.emplace(comp.getPid(), &comp);
}

void OwnerIndex::moved(Component& from, Component& to) {
  const auto fd = fds_.find(to.getFd());
  if (fd != fds_.end() && fd->second == &from) fd->second = &to;
  const auto range = pids_.equal_range(to.getPid());
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second == &from) it->second = &to;
  }
}

void OwnerIndex::removed(Component& comp) {
  eraseFd(comp.getFd(), comp);
  erasePid(comp.getPid(), comp);
}
