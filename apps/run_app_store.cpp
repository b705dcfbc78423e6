#include "apps/run_app_store.h"

#include <algorithm>
#include <functional>

#include "base/log.h"

void RunAppStore::setRegenerator(Regenerator* regenerator) {
  regenerator_ = regenerator;
  for (const auto& app : apps) app->setRegenerator(regenerator);
}

void RunAppStore::setApplications(const Records& records) {
  for (const auto& app : apps) app->setIndex(nullptr);
  apps.clear();
  dependents.clear();
  for (const auto& record : records) {
    if (record) addApplication(*record);
  }
}

void RunAppStore::addApplication(const ApplicationConf& record) {
  auto app = std::make_shared<Application>(record);
  app->setRegenerator(regenerator_);
  for (const auto& dep : app->getDeps()) dependents.emplace(dep, app->getName());
  addApp(std::move(app));
}

bool RunAppStore::removeApplication(const std::string& name) {
  const AppPtr app = find(name);
  if (!app) return false;
  stopAppAndIDepends(*app);
  app->stop();
  app->setIndex(nullptr);
  apps.erase(std::remove(apps.begin(), apps.end(), app), apps.end());
  for (auto it = dependents.begin(); it != dependents.end();) {
    if (Utils::equalsNoCase(it->first, name) || Utils::equalsNoCase(it->second, name)) {
      it = dependents.erase(it);
    } else {
      ++it;
    }
  }
  return true;
}

bool RunAppStore::reconfigApplication(const ApplicationConf& record, const RecoveryTimes& times) {
  const AppPtr app = find(record.name);
  if (!app) return false;
  app->reconfig(record, times);
  return true;
}

void RunAppStore::load(const std::string& directory) {
  catalogue.load(directory);
  setApplications(catalogue.apps());
}

AppCatalogue::MergeResult RunAppStore::merge(const RunAppStore& fresh, const RecoveryTimes& times) {
  AppCatalogue::MergeResult diff = catalogue.merge(fresh.catalogue);
  // The catalogue is merged now, so every application step runs, whatever
  // one of them meets: the store must end up describing the same
  // applications as the catalogue.
  const auto guarded = [](const std::string& name, const std::function<void()>& step) {
    try {
      step();
    } catch (const std::exception& e) {
      korza::monitorLog().error("application \"" + name + "\" reload error: " + e.what());
    }
  };
  for (const auto& name : diff.oldApps) guarded(name, [&] { removeApplication(name); });
  for (const auto& name : diff.immutableApps) {
    if (auto record = catalogue.find(name))
      guarded(name, [&] {
        if (!reconfigApplication(*record, times)) addApplication(*record);
      });
  }
  for (const auto& name : diff.newApps) {
    if (auto record = catalogue.find(name)) guarded(name, [&] { addApplication(*record); });
  }
  // Dependencies may have changed with the records.
  dependents.clear();
  buildDependents();
  releaseComponentRecords();
  return diff;
}
