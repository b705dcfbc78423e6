// The supervisor as the applications see it. An application calls
// regenerate() while it starts components, so that faults of the
// applications it depends on are handled in between, and tells the
// supervisor when it has been started or stopped.
//
// Thread safety: called only from the thread that drives the applications.
#ifndef KORZA_APPS_REGENERATOR_H_
#define KORZA_APPS_REGENERATOR_H_

#include "base/utils.h"

class Application;

class Regenerator {
 public:
  virtual ~Regenerator() = default;
  // Handles pending faults of the named applications.
  virtual void regenerate(const Utils::NameSet& names) = 0;
  virtual void appStarted(Application& app) = 0;
  virtual void appStopped(Application& app) = 0;
};

#endif  // KORZA_APPS_REGENERATOR_H_
