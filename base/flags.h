// Process-wide identity and mode flags.
//
// checkMode and checkAll are written on the main thread before any other
// thread exists and only read afterwards. conf_warning_issued may be set from
// any thread (configuration warnings, failing start-up steps, failing
// component checks) and is read by main for the check-mode result line.
#ifndef KORZA_BASE_FLAGS_H_
#define KORZA_BASE_FLAGS_H_

#include <atomic>

namespace korza {

// Program name, as used in the version line, messages and the pid file name.
extern const char* const kProgramName;  // "korza-monitor"
// Product title used in the starting/started/shutdown log lines.
extern const char* const kProgramTitle;  // "Korza (R) Components Monitor"

}  // namespace korza

// Set by -C or -A.
extern bool checkMode;
// Set by -A.
extern bool checkAll;
// Set by configuration warnings and failing start-up steps; turns the
// check-mode line into "Options ERROR".
extern std::atomic<bool> conf_warning_issued;

#endif  // KORZA_BASE_FLAGS_H_
