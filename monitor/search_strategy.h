// Visitors over the application store that look for one value: the
// configured uid or gid of the first component that does not run as root.
// The log file is handed to that account before the monitor switches to
// it, so that the file stays writable.
//
// Thread safety: none; used on the main thread during start-up.
#ifndef KORZA_MONITOR_SEARCH_STRATEGY_H_
#define KORZA_MONITOR_SEARCH_STRATEGY_H_

#include "apps/app_store.h"
#include "apps/application.h"
#include "apps/component.h"

template <typename T>
class SearchStrategy {
 public:
  virtual ~SearchStrategy() = default;
  virtual bool acceptApplication(const Application&) { return true; }
  virtual void visitApplication(const Application&) {}
  virtual bool acceptComponent(const Component&) { return true; }
  virtual void visitComponent(const Component&) {}

  bool found() const { return found_; }
  T value() const { return value_; }

  // Walks the store in order and stops as soon as a value is found.
  void walk(const AppStore& store) {
    for (const auto& app : store.getApps()) {
      if (found_) return;
      if (!acceptApplication(*app)) continue;
      visitApplication(*app);
      for (const auto& comp : app->getComponents()) {
        if (found_) return;
        if (acceptComponent(comp)) visitComponent(comp);
      }
    }
  }

 protected:
  T value_{};
  bool found_ = false;
};

// A component without a configured user or group runs as the monitor does;
// it counts as root here. Unknown names throw Utils::error.
// The first component whose configured uid (gid) is not 0. An account that
// cannot be looked up throws Utils::error out of the walk.
class FirstNotRootUIDStrategy : public SearchStrategy<unsigned int> {
 public:
  bool acceptComponent(const Component& comp) override {
    const Utils::Account account = comp.account();
    return account.setUser && account.uid != 0;
  }
  void visitComponent(const Component& comp) override {
    value_ = comp.account().uid;
    found_ = true;
  }
};

class FirstNotRootGIDStrategy : public SearchStrategy<unsigned int> {
 public:
  bool acceptComponent(const Component& comp) override {
    const Utils::Account account = comp.account();
    return account.setGroup && account.gid != 0;
  }
  void visitComponent(const Component& comp) override {
    value_ = comp.account().gid;
    found_ = true;
  }
};

#endif  // KORZA_MONITOR_SEARCH_STRATEGY_H_
