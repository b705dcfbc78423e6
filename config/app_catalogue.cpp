#include "config/app_catalogue.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "base/log.h"
#include "config/start_app_config.h"

using korza::monitorLog;

bool AppCatalogue::addIfAbsent(const ApplicationConf& app) {
  if (contains(app.name)) return false;
  auto ptr = std::make_shared<ApplicationConf>(app);
  apps_.push_back(ptr);
  by_name_.emplace(app.name, ptr);
  return true;
}

bool AppCatalogue::contains(const std::string& name) const {
  return by_name_.find(name) != by_name_.end();
}

AppCatalogue::AppPtr AppCatalogue::find(const std::string& name) const {
  auto it = by_name_.find(name);
  return it == by_name_.end() ? nullptr : it->second;
}

void AppCatalogue::clear() {
  apps_.clear();
  by_name_.clear();
}

void AppCatalogue::dropComponents() {
  for (const auto& app : apps_) std::vector<ComponentConf>().swap(app->components);
}

void AppCatalogue::remove(const std::string& name) {
  auto it = by_name_.find(name);
  if (it == by_name_.end()) return;
  AppPtr app = it->second;
  by_name_.erase(it);
  apps_.erase(std::remove(apps_.begin(), apps_.end(), app), apps_.end());
}

void AppCatalogue::load(const std::string& directory) {
  std::vector<std::string> files = Utils::listDir(directory, ".mmc");
  // Name order makes the choice between two definitions of one application
  // the same on every system.
  std::sort(files.begin(), files.end());
  for (const auto& path : files) {
    monitorLog().debug("parse monitor meta config file \"" + path + "\"");
    bool ok = false;
    try {
      StartAppConfig config(path);
      ok = config.parse(*this);
    } catch (const StartAppConfig::LexerError& e) {
      // Removed since the directory was listed: as if it had not been there.
      struct stat st;
      if (lstat(path.c_str(), &st) != 0 && errno == ENOENT) {
        monitorLog().debug("meta config file \"" + path + "\" has gone");
        continue;
      }
      monitorLog().error(e.what());
    }
    if (!ok) throw std::runtime_error("error in *.mmc file \"" + path + "\"");
  }
}

void AppCatalogue::verify(const Utils::NameSet& runList) const {
  verifyRunApp(runList);
  verifyDepends();
  verifyInterdeps(runList);
}

void AppCatalogue::verifyRunApp(const Utils::NameSet& runList) const {
  monitorLog().debug("RunAppStore::verifyRunApp()");
  for (const auto& name : runList) {
    if (!contains(name)) {
      throw VerifyError("cannot find application \"" + name + "\" in *.mmc files");
    }
  }
}

void AppCatalogue::verifyDepends() const {
  for (const auto& app : apps_) {
    for (const auto& dep : app->depends) {
      if (!contains(dep)) {
        throw VerifyError("application \"" + app->name + "\", unknown depends \"" + dep + "\"");
      }
    }
  }
}

void AppCatalogue::verifyInterdeps(const Utils::NameSet& runList) const {
  monitorLog().debug("RunAppStore::verifyInterdeps() ");
  // Applications whose whole dependency tree was searched without a
  // cycle; searching them again from another route cannot find one, and
  // skipping them keeps a wide graph from costing exponential time.
  Utils::NameSet acyclic;
  for (const auto& name : runList) {
    monitorLog().debug("RunAppStore::verifyInterdeps() check");
    hasCycle(name, Utils::NameSet(), acyclic);
  }
}

void AppCatalogue::hasCycle(const std::string& name, const Utils::NameSet& chain,
                            Utils::NameSet& acyclic) const {
  monitorLog().debug("RunAppStore::hasCycle() " + name);
  if (acyclic.count(name) != 0) return;
  AppPtr app = find(name);
  if (!app) return;
  for (const auto& dep : app->depends) {
    if (chain.count(dep) != 0) {
      std::string text = "interdependence: ";
      for (const auto& link : chain) text += link + " -> ";
      throw VerifyError(text + dep);
    }
    Utils::NameSet next = chain;
    next.insert(dep);
    hasCycle(dep, next, acyclic);
  }
  acyclic.insert(name);
}

void AppCatalogue::expand(const Utils::NameSet& runList, Utils::NameSet& out) const {
  std::vector<std::string> pending(runList.begin(), runList.end());
  while (!pending.empty()) {
    const std::string name = pending.back();
    pending.pop_back();
    if (!out.insert(name).second) continue;
    AppPtr app = find(name);
    if (!app) continue;
    for (const auto& dep : app->depends) {
      if (out.count(dep) == 0) pending.push_back(dep);
    }
  }
}

AppCatalogue::MergeResult AppCatalogue::merge(const AppCatalogue& fresh) {
  monitorLog().debug("monitor meta conf:");
  MergeResult result;
  auto old_it = by_name_.begin();
  auto new_it = fresh.by_name_.begin();
  Utils::NoCaseLess less;
  while (old_it != by_name_.end() && new_it != fresh.by_name_.end()) {
    if (less(old_it->first, new_it->first)) {
      result.oldApps.insert(old_it->first);
      ++old_it;
    } else if (less(new_it->first, old_it->first)) {
      result.newApps.insert(new_it->first);
      ++new_it;
    } else {
      result.immutableApps.insert(old_it->first);
      ++old_it;
      ++new_it;
    }
  }
  for (; old_it != by_name_.end(); ++old_it) result.oldApps.insert(old_it->first);
  for (; new_it != fresh.by_name_.end(); ++new_it) result.newApps.insert(new_it->first);

  for (const auto& name : result.oldApps) monitorLog().info("oldApps: " + name);
  for (const auto& name : result.newApps) monitorLog().info("newApps: " + name);
  for (const auto& name : result.immutableApps) monitorLog().info("immutableApps: " + name);

  for (const auto& name : result.oldApps) remove(name);
  for (const auto& name : result.immutableApps) {
    AppPtr updated = std::make_shared<ApplicationConf>(*fresh.find(name));
    AppPtr& slot = by_name_[name];
    std::replace(apps_.begin(), apps_.end(), slot, updated);
    slot = updated;
  }
  for (const auto& name : result.newApps) addIfAbsent(*fresh.find(name));
  return result;
}
