#include "apps/comp_strategy.h"

#include "apps/component.h"

void StandartCompStrategy::start(Component& comp, const std::string& app_path, int64_t fault_time,
                                 uint32_t try_number, const std::string& app_full_name) const {
  comp.startStandart(*this, app_path, fault_time, try_number, app_full_name);
}

void StandartCompStrategy::addArguments(std::vector<std::string>&) const {}

void UpdateCompStrategy::start(Component& comp, const std::string& app_path, int64_t fault_time,
                               uint32_t try_number, const std::string& app_full_name) const {
  comp.startStandart(*this, app_path, fault_time, try_number, app_full_name);
}

void UpdateCompStrategy::addArguments(std::vector<std::string>& args) const {
  args.push_back("--update");
}

void CheckOnlyStrategy::start(Component& comp, const std::string& app_path, int64_t, uint32_t,
                              const std::string&) const {
  comp.startCheckOnly(*this, app_path);
}

void CheckOnlyStrategy::addArguments(std::vector<std::string>& args) const {
  args.push_back("--check-only");
}

void ChangeSocketStrategy::start(Component& comp, const std::string& app_path, int64_t fault_time,
                                 uint32_t try_number, const std::string& app_full_name) const {
  comp.startStandart(*this, app_path, fault_time, try_number, app_full_name);
}

void ChangeSocketStrategy::addArguments(std::vector<std::string>& args) const {
  args.push_back("--socket");
  args.push_back(socket_);
  args.push_back("--pid-file");
  args.push_back(pidFile_);
}

void CheckOnlyWithAlternativeAgentStrategy::start(Component& comp, const std::string& app_path,
                                                  int64_t, uint32_t, const std::string&) const {
  comp.startCheckOnly(*this, app_path);
}

void CheckOnlyWithAlternativeAgentStrategy::addArguments(std::vector<std::string>& args) const {
  if (!args.empty()) args.pop_back();
  args.push_back("--check-only");
  args.push_back(socket_);
}
