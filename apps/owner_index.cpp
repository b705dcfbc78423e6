#include "apps/owner_index.h"

Component* OwnerIndex::byFd(int descriptor) const {
  if (descriptor < 0 || static_cast<size_t>(descriptor) >= fds_.size()) return nullptr;
  return fds_[static_cast<size_t>(descriptor)];
}

std::vector<Component*> OwnerIndex::byPid(pid_t p) const {
  std::vector<Component*> out;
  const auto range = pids_.equal_range(p);
  for (auto it = range.first; it != range.second; ++it) out.push_back(it->second);
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
  const size_t slot = static_cast<size_t>(fd);
  if (slot >= fds_.size()) fds_.resize(slot + 1, nullptr);
  if (fds_[slot] == nullptr) ++fdCount_;
  fds_[slot] = &comp;
  if (listener_) listener_(fd, true);
}

void OwnerIndex::pidChanged(Component& comp, pid_t old_pid) {
  erasePid(old_pid, comp);
  if (comp.getPid() > 0) pids_.emplace(comp.getPid(), &comp);
}

void OwnerIndex::moved(Component& from, Component& to) {
  if (byFd(to.getFd()) == &from) fds_[static_cast<size_t>(to.getFd())] = &to;
  const auto range = pids_.equal_range(to.getPid());
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second == &from) it->second = &to;
  }
}

void OwnerIndex::removed(Component& comp) {
  eraseFd(comp.getFd(), comp);
  erasePid(comp.getPid(), comp);
}
