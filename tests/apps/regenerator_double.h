// A stand-in for the supervisor: records what the applications tell it.
#ifndef KORZA_TESTS_APPS_REGENERATOR_DOUBLE_H_
#define KORZA_TESTS_APPS_REGENERATOR_DOUBLE_H_

#include <string>
#include <vector>

#include "apps/application.h"
#include "apps/regenerator.h"

namespace kztest {

class RecordingRegenerator : public Regenerator {
 public:
  void regenerate(const Utils::NameSet&) override { ++regenerations; }
  void appStarted(Application& app) override { events.push_back("started " + app.getName()); }
  void appStopped(Application& app) override { events.push_back("stopped " + app.getName()); }

  int regenerations = 0;
  std::vector<std::string> events;
};

}  // namespace kztest

#endif  // KORZA_TESTS_APPS_REGENERATOR_DOUBLE_H_
