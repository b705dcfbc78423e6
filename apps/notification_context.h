// The process-wide notification context: what the failure, recovery and
// cannot-recover notices and the mail informer need to know about this
// monitor (title, system, version, host, restart offsets, mail addresses).
//
// Thread safety: every getter and setter holds the context's own mutex and
// copies the values, so any thread may call them.
#ifndef KORZA_APPS_NOTIFICATION_CONTEXT_H_
#define KORZA_APPS_NOTIFICATION_CONTEXT_H_

#include <cstdint>
#include <string>
#include <vector>

namespace NotificationContext {

struct MonitorInfo {
  std::string programName;
  std::string systemName;
  std::string version;
  std::string host;
};

// Stores the identity and turns the recovery intervals into running sums
// (offsets[0] = i1, offsets[k] = offsets[k-1] + i(k+1)).
void setMonitorInfo(const std::string& program_name, const std::string& system_name,
                    const std::string& version, const std::string& host,
                    const std::vector<int32_t>& recovery_intervals);
void setMailAddresses(const std::string& sender, const std::string& recipient);

MonitorInfo getMonitorInfo();
void getMailAddresses(std::string& sender, std::string& recipient);
std::vector<int32_t> getRestartOffsets();

// Forgets everything; the next use starts from an empty context.
void release();

}  // namespace NotificationContext

#endif  // KORZA_APPS_NOTIFICATION_CONTEXT_H_
