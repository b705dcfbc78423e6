// Who is told when a component's management descriptor opens (the child
// answered) and before it is closed (stop, fault, teardown), so that the
// supervisor can keep its wait list current without walking the store.
//
// Thread safety: the watch is installed and removed by the supervisor's
// owner; opened and closing are called by the thread that drives the
// components, which is also the one the watch serves.
#ifndef KORZA_APPS_MANAGEMENT_FD_WATCH_H_
#define KORZA_APPS_MANAGEMENT_FD_WATCH_H_

class ManagementFdWatch {
 public:
  virtual ~ManagementFdWatch() = default;
  virtual void fdOpened(int fd) = 0;
  virtual void fdClosing(int fd) = 0;

  // Makes `watch` the watch of the process and returns the one it replaces
  // (null, the default, tells nobody).
  static ManagementFdWatch* install(ManagementFdWatch* watch);
  // If `watch` is the one installed, puts `previous` (what install
  // returned) back.
  static void uninstall(ManagementFdWatch* watch, ManagementFdWatch* previous);

  static void opened(int fd);
  static void closing(int fd);
};

#endif  // KORZA_APPS_MANAGEMENT_FD_WATCH_H_
