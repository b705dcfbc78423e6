#include "apps/notification_context.h"

#include <memory>
#include <mutex>

namespace NotificationContext {

namespace {

struct Context {
  MonitorInfo info;
  std::string sender;
  std::string recipient;
  std::vector<int32_t> offsets;
};

std::mutex& contextMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

// Created on first use; release() destroys it. GUARDED_BY(contextMutex())
std::unique_ptr<Context>& holder() {
  static std::unique_ptr<Context>* h = new std::unique_ptr<Context>;
  return *h;
}

Context& context() {
  auto& h = holder();
  if (!h) h = std::make_unique<Context>();
  return *h;
}

}  // namespace

void setMonitorInfo(const std::string& program_name, const std::string& system_name,
                    const std::string& version, const std::string& host,
                    const std::vector<int32_t>& recovery_intervals) {
  std::vector<int32_t> offsets;
  offsets.reserve(recovery_intervals.size());
  int64_t sum = 0;
  for (int32_t interval : recovery_intervals) {
    sum += interval;
    offsets.push_back(static_cast<int32_t>(sum));
  }
  std::lock_guard<std::mutex> lock(contextMutex());
  Context& c = context();
  c.info = MonitorInfo{program_name, system_name, version, host};
  c.offsets = std::move(offsets);
}

void setMailAddresses(const std::string& sender, const std::string& recipient) {
  std::lock_guard<std::mutex> lock(contextMutex());
  Context& c = context();
  c.sender = sender;
  c.recipient = recipient;
}

MonitorInfo getMonitorInfo() {
  std::lock_guard<std::mutex> lock(contextMutex());
  return context().info;
}

void getMailAddresses(std::string& sender, std::string& recipient) {
  std::lock_guard<std::mutex> lock(contextMutex());
  sender = context().sender;
  recipient = context().recipient;
}

std::vector<int32_t> getRestartOffsets() {
  std::lock_guard<std::mutex> lock(contextMutex());
  return context().offsets;
}

void release() {
  std::lock_guard<std::mutex> lock(contextMutex());
  holder().reset();
}

}  // namespace NotificationContext
