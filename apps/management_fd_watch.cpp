#include "apps/management_fd_watch.h"

#include <atomic>

namespace {

std::atomic<ManagementFdWatch*> g_watch{nullptr};

}  // namespace

ManagementFdWatch* ManagementFdWatch::install(ManagementFdWatch* watch) {
  return g_watch.exchange(watch);
}

void ManagementFdWatch::uninstall(ManagementFdWatch* watch, ManagementFdWatch* previous) {
  ManagementFdWatch* expected = watch;
  g_watch.compare_exchange_strong(expected, previous);
}

void ManagementFdWatch::opened(int fd) {
  if (ManagementFdWatch* watch = g_watch.load()) watch->fdOpened(fd);
}

void ManagementFdWatch::closing(int fd) {
  if (ManagementFdWatch* watch = g_watch.load()) watch->fdClosing(fd);
}
