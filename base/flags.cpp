#include "base/flags.h"

namespace korza {
const char* const kProgramName = "korza-monitor";
const char* const kProgramTitle = "Korza (R) Components Monitor";
}  // namespace korza

bool checkMode = false;
bool checkAll = false;
std::atomic<bool> conf_warning_issued{false};
