// Records of applications and their components as described by the
// meta-configuration (".mmc") files. The parser fills them; the application
// and component classes are built from them.
//
// Plain values: safe to copy between threads; no internal locking.
#ifndef KORZA_CONFIG_APP_CONFIG_H_
#define KORZA_CONFIG_APP_CONFIG_H_

#include <cstdint>
#include <string>
#include <vector>

#include "base/utils.h"

// How a component's failures are reported.
enum ComponentLogType : int {
  kLogTypeLog = 1,      // LOG: to the monitor's log
  kLogTypeMail = 2,     // MAIL: by e-mail through the mail transfer command
  kLogTypeCommand = 3,  // any other text: piped to that command
};

// One component line of an application block:
//   name argv TimeStart TimeStop LogType USER[:GROUP]
struct ComponentConf {
  std::string name;
  // The arguments that follow the program (the program itself is always
  // the application path + the component name).
  std::string argv;
  uint32_t timeStart = 30;  // seconds to wait for the start answer
  uint32_t timeStop = 30;   // seconds to wait after SIGTERM
  int logType = kLogTypeMail;
  std::string logValue;  // the command text for kLogTypeCommand
  std::string user;      // empty: keep the monitor's user
  std::string group;     // empty: keep the monitor's group
  bool agent = false;    // the owning application is "AGENT"
};

// One APPLICATION ... ENDAPPLICATION block.
struct ApplicationConf {
  std::string name;      // compared without regard to letter case
  std::string fullName;  // FULLNAME
  std::string path;      // PATH, always ending in "/"
  Utils::NameSet depends;
  std::vector<ComponentConf> components;  // in file order
};

#endif  // KORZA_CONFIG_APP_CONFIG_H_
