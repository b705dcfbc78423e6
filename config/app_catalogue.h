// The catalogue of every application described in the meta-configuration
// directory, whether or not it is to run: loading from the ".mmc" files,
// verification of a run list, expansion of a run list by its dependencies,
// and merging of a freshly loaded catalogue on reload.
//
// Records are held through shared pointers in insertion order; names are
// unique without regard to letter case.
//
// Thread safety: no internal locking; the owner serialises access.
#ifndef KORZA_CONFIG_APP_CATALOGUE_H_
#define KORZA_CONFIG_APP_CATALOGUE_H_

#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/utils.h"
#include "config/app_config.h"

class AppCatalogue {
 public:
  // The first failing check of verify().
  class VerifyError : public std::runtime_error {
   public:
    explicit VerifyError(const std::string& what) : std::runtime_error(what) {}
  };

  using AppPtr = std::shared_ptr<ApplicationConf>;

  // What merge() found, by name.
  struct MergeResult {
    Utils::NameSet oldApps;        // only in the old catalogue: removed
    Utils::NameSet newApps;        // only in the new one: added
    Utils::NameSet immutableApps;  // in both: record replaced by the new one
  };

  // Adds a copy of `app` unless an application of that name is present.
  // Returns whether it added.
  bool addIfAbsent(const ApplicationConf& app);
  bool contains(const std::string& name) const;
  // The record of that name, or null.
  AppPtr find(const std::string& name) const;
  // Every record, in insertion order.
  const std::vector<AppPtr>& apps() const { return apps_; }
  size_t size() const { return apps_.size(); }
  bool empty() const { return apps_.empty(); }
  void clear();
  // Empties the component list of every record (names, paths and
  // dependencies stay): for a catalogue whose components are held by the
  // applications built from it. Checks, expansion and merges need no more.
  void dropComponents();

  // Parses every "*.mmc" file of `directory` (which ends in "/") into the
  // catalogue, in name order. Throws std::runtime_error
  // "error in *.mmc file \"PATH\"" at the first file with errors (the files
  // before it stay loaded), or the listing's "opendir() error: ..." /
  // "stat() error: ...".
  void load(const std::string& directory);

  // Every run-list name is described, every dependency of every
  // application names a described one, and no dependency cycle is
  // reachable from the run list. Throws VerifyError otherwise.
  void verify(const Utils::NameSet& runList) const;

  // Adds to `out` every name of `runList` and, transitively, the
  // dependencies of every added application that is in the catalogue.
  void expand(const Utils::NameSet& runList, Utils::NameSet& out) const;

  // Takes over the content of `fresh`: removes the applications it lacks,
  // replaces the records of those both have and adds those only it has.
  // Logs each name as "oldApps: ", "newApps: " or "immutableApps: ".
  MergeResult merge(const AppCatalogue& fresh);

 private:
  void verifyRunApp(const Utils::NameSet& runList) const;
  void verifyDepends() const;
  void verifyInterdeps(const Utils::NameSet& runList) const;
  void hasCycle(const std::string& name, const Utils::NameSet& chain,
                Utils::NameSet& acyclic) const;
  void remove(const std::string& name);

  std::vector<AppPtr> apps_;
  std::map<std::string, AppPtr, Utils::NoCaseLess> by_name_;
};

#endif  // KORZA_CONFIG_APP_CATALOGUE_H_
