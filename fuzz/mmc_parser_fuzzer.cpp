// Feeds arbitrary bytes to the ".mmc" lexer and parser, then verifies,
// expands and merges what was read: any input must end, without a crash.
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/log.h"
#include "config/app_catalogue.h"
#include "config/start_app_config.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  korza::monitorLog().setLevel(korza::kLogQuiet);
  korza::ipcLog().setLevel(korza::kLogQuiet);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  AppCatalogue catalogue;
  try {
    StartAppConfig config("fuzz.mmc", std::string(reinterpret_cast<const char*>(data), size));
    config.parse(catalogue);
  } catch (const StartAppConfig::LexerError&) {
  }
  Utils::NameSet all;
  for (const auto& app : catalogue.apps()) all.insert(app->name);
  try {
    catalogue.verify(all);
  } catch (const AppCatalogue::VerifyError&) {
  }
  Utils::NameSet expanded;
  catalogue.expand(all, expanded);
  AppCatalogue previous;
  ApplicationConf agent;
  agent.name = "AGENT";
  previous.addIfAbsent(agent);
  previous.merge(catalogue);
  return 0;
}
