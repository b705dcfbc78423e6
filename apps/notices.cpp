#include "apps/notices.h"

#include <vector>

#include "apps/notification_context.h"

namespace Notices {

namespace {

// The event times of base + each offset, separated by ", ".
std::string timeList(time_t base, std::vector<int32_t>::const_iterator first,
                     std::vector<int32_t>::const_iterator last) {
  std::string out;
  for (auto it = first; it != last; ++it) {
    if (!out.empty()) out += ", ";
    out += Utils::timeOfDay(base + *it);
  }
  return out;
}

std::string header(const std::string& subject) {
  return "Date: " + Utils::mailDateNow() + "\n" + "Subject: " + subject + "\n\n";
}

std::string signature() {
  const NotificationContext::MonitorInfo info = NotificationContext::getMonitorInfo();
  return "\n---\nSincerely yours,\n" + info.programName + "\n" + info.version + " for " +
         info.systemName + "\n" + "Host \"" + info.host + "\"";
}

}  // namespace

std::string failure(pid_t pid, const std::string& name, time_t failure_time, const std::string& app,
                    const std::string& file, const Utils::NameSet& affected_apps) {
  const std::vector<int32_t> offsets = NotificationContext::getRestartOffsets();
  std::string text = header("ERROR: Component \"" + name + "\" failed");
  text += "Component \"" + name + "\" (pid=" + std::to_string(pid) + ", file=" + file +
          ") used in \"" + app + "\" failed at " + Utils::timeOfDay(failure_time) + "\n";
  if (!affected_apps.empty()) {
    text += "This could affect operation of the following application(s): ";
    bool first = true;
    for (const auto& a : affected_apps) {
      if (!first) text += ", ";
      text += "\"" + a + "\"";
      first = false;
    }
    text += "\n";
  }
  text += "\n";
  if (!offsets.empty()) {
    text += "Monitor has tried to restart \"" + name + "\" at " +
            Utils::timeOfDay(failure_time + offsets[0]) + "\n";
    if (offsets.size() > 1) {
      text += "Further attempts to restart the module will made at: " +
              timeList(failure_time, offsets.begin() + 1, offsets.end());
      text += "\nOnce the component is restarted, you will be informed\n";
    }
  }
  return text + signature();
}

std::string recovery(pid_t new_pid, const std::string& name, time_t recovery_time,
                     time_t failure_time, unsigned tries, const std::string& app,
                     const std::string& file) {
  const std::vector<int32_t> offsets = NotificationContext::getRestartOffsets();
  std::string text = header("INFO: Component \"" + name + "\" recovery");
  text += "Component \"" + name + "\" (new pid=" + std::to_string(new_pid) + ", file=" + file +
          ") used in \"" + app + "\" which failed at " + Utils::timeOfDay(failure_time) +
          " be recovery at " + Utils::timeOfDay(recovery_time) + "\n";
  if (tries > 1) {
    const size_t n = std::min<size_t>(tries - 1, offsets.size());
    text += "Abortive attempts to recovery it were made at " +
            timeList(failure_time, offsets.begin(), offsets.begin() + static_cast<long>(n)) + "\n";
  }
  return text + signature();
}

std::string cannotRecover(pid_t pid, const std::string& name, time_t failure_time,
                          const std::string& app, const std::string& file) {
  const std::vector<int32_t> offsets = NotificationContext::getRestartOffsets();
  std::string text = header("ERROR: Component \"" + name + "\" cannot recovery");
  text += "Component \"" + name + "\" (new pid=" + std::to_string(pid) + ", file=" + file +
          ") used in \"" + app + "\" which failed at " + Utils::timeOfDay(failure_time) +
          " cannot be recovery\n";
  if (!offsets.empty()) {
    text += "Abortive attempts to recovery it were made at " +
            timeList(failure_time, offsets.begin(), offsets.end());
  }
  text += "\n";
  return text + signature();
}

}  // namespace Notices
