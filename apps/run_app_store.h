// The store of the supervisor: the application store built from the
// catalogue of described applications. The catalogue (loading of the
// ".mmc" files, run-list verification, expansion and merge on reload) hands
// its records to setApplications / addApplication / removeApplication /
// reconfigApplication; start, stop and lookup are those of AppStore.
//
// Thread safety: none. Used only by the thread that drives the supervisor.
#ifndef KORZA_APPS_RUN_APP_STORE_H_
#define KORZA_APPS_RUN_APP_STORE_H_

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "apps/app_store.h"
#include "config/app_config.h"

class Regenerator;

class RunAppStore : public AppStore {
 public:
  class VerifyError : public std::runtime_error {
   public:
    explicit VerifyError(const std::string& what) : std::runtime_error(what) {}
  };

  using Records = std::vector<std::shared_ptr<ApplicationConf>>;

  explicit RunAppStore(bool update_mode = false) : AppStore(update_mode) {}

  // The supervisor every application reports to (not owned; may be null).
  void setRegenerator(Regenerator* regenerator);

  // Replaces the applications by those of the loaded catalogue records, in
  // their order. REQUIRES: no application of this store is running.
  void setApplications(const Records& records);
  // Appends an application built from the record (a catalogue that gained
  // an application on reload).
  void addApplication(const ApplicationConf& record);
  // Stops the named application after its dependents, then removes it
  // (a catalogue that lost an application on reload). False when unknown.
  bool removeApplication(const std::string& name);
  // Hands a freshly parsed record to the running application of that name.
  // False when unknown.
  bool reconfigApplication(const ApplicationConf& record, const RecoveryTimes& times);

  // Start and stop of the catalogue's applications.
  void startApps(const Utils::NameSet& run_list, const RecoveryTimes& times,
                 const std::string& agent_address, const std::string& pid_dir) {
    start(run_list, times, agent_address, pid_dir);
  }
  void stopApps() { stop(); }

 private:
  Regenerator* regenerator_ = nullptr;
};

#endif  // KORZA_APPS_RUN_APP_STORE_H_
