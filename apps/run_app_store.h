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
#include "config/app_catalogue.h"
#include "config/app_config.h"

class Regenerator;

class RunAppStore : public AppStore {
 public:
  using VerifyError = AppCatalogue::VerifyError;

  using Records = std::vector<std::shared_ptr<ApplicationConf>>;

  explicit RunAppStore(bool update_mode = false) : AppStore(update_mode) {}

  // The supervisor every application reports to (not owned; may be null).
  void setRegenerator(Regenerator* regenerator);

  // Reads every "*.mmc" file of `directory` (ending in "/") into the
  // catalogue and builds the applications from it. Throws like
  // AppCatalogue::load. REQUIRES: no application of this store is running.
  void load(const std::string& directory);
  // Checks a run list against the catalogue; throws VerifyError.
  void verify(const Utils::NameSet& run_list) const { catalogue.verify(run_list); }
  void expand(const Utils::NameSet& run_list, Utils::NameSet& out) const {
    catalogue.expand(run_list, out);
  }
  bool contains(const std::string& name) const { return catalogue.contains(name); }
  const AppCatalogue& getCatalogue() const { return catalogue; }
  // Takes over the catalogue of `fresh` (loaded on reload): applications
  // that left are stopped (dependents first) and removed, those that stayed
  // are handed their new record, new ones are added (not started). The
  // component lists of the records are released afterwards, as by
  // releaseComponentRecords.
  AppCatalogue::MergeResult merge(const RunAppStore& fresh, const RecoveryTimes& times);

  // Lets the catalogue forget the component lists of its records, which the
  // applications now hold (they are most of a large catalogue). A store
  // loaded only to be merged into another keeps them for the merge.
  void releaseComponentRecords() { catalogue.dropComponents(); }

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
  AppCatalogue catalogue;
  Regenerator* regenerator_ = nullptr;
};

#endif  // KORZA_APPS_RUN_APP_STORE_H_
