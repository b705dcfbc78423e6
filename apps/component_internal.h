// Helpers shared by the files that implement Component (component.cpp and
// the launch in launch.cpp); private to apps/.
#ifndef KORZA_APPS_COMPONENT_INTERNAL_H_
#define KORZA_APPS_COMPONENT_INTERNAL_H_

#include "base/log.h"

namespace component_internal {

// Debug lines are built only when the debug level is on: the component
// dumps in them cost more than the rest of a start's or a stop's own work.
template <typename Build>
void debugLine(Build build) {
  if (korza::monitorLog().isEnabled(korza::kLogDebug)) korza::monitorLog().debug(build());
}

}  // namespace component_internal

#endif  // KORZA_APPS_COMPONENT_INTERNAL_H_
