// The monitor's settings: read from monitor.conf with their defaults and
// validation (ConfReader), and, in enterprise mode, completed from the
// configuration agent (MonitorConfReader).
//
// Thread safety: reload and readConfigFromAgent run on one thread (start-up
// or the main loop); the accessors return copies or references that stay
// valid until the next reload.
#ifndef KORZA_CONFIG_CONF_READER_H_
#define KORZA_CONFIG_CONF_READER_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "base/utils.h"

namespace korza {
namespace ipc {
class KzClientSession;
}  // namespace ipc
}  // namespace korza

// The values of monitor.conf, with their defaults.
struct MonitorSettings {
  std::string logLevel = "info";
  std::string ipcLogLevel = "error";
  std::string syslogFacility = "daemon";
  std::string logFileName = "syslog";
  bool runForeground = false;
  std::string user;
  std::string group;
  std::string chDir;
  std::string metaConfigDir = "/etc/korza/monitor.meta/";
  std::string injectCmd = "/usr/sbin/sendmail -t";
  int32_t agentResponseTime = 30;
  std::vector<std::string> agentAddress;
  std::string pidFileDir = "/var/korza/run/";
  std::set<std::string> address;
  int32_t timeout = 30;
  Utils::NameSet runAppList;
  bool useEnterpriseMode = false;
  std::vector<int32_t> recoveryTimeList;
  // Optional: "log" sends each component's standard error to the log.
  bool componentStderrLog = false;
};

class ConfReader {
 public:
  explicit ConfReader(const std::string& conf_file);
  virtual ~ConfReader() = default;

  // Reads the configuration file, sets logging up from its /Logging keys
  // and replaces the settings. Throws conf_store_exception_t when the file
  // cannot be opened or a required key is missing; the settings then stay
  // as they were.
  void reload();

  const std::string& confFile() const { return conf_file_; }
  const MonitorSettings& settings() const { return settings_; }

  const std::string& getLogLevel() const { return settings_.logLevel; }
  const std::string& getIpcLogLevel() const { return settings_.ipcLogLevel; }
  const std::string& getSyslogFacility() const { return settings_.syslogFacility; }
  const std::string& getLogFileName() const { return settings_.logFileName; }
  bool getRunForeground() const { return settings_.runForeground; }
  const std::string& getUser() const { return settings_.user; }
  const std::string& getGroup() const { return settings_.group; }
  const std::string& getChDir() const { return settings_.chDir; }
  const std::string& getMetaConfigDir() const { return settings_.metaConfigDir; }
  const std::string& getInjectCmd() const { return settings_.injectCmd; }
  int32_t getAgentResponseTime() const { return settings_.agentResponseTime; }
  const std::vector<std::string>& getAgentAddress() const { return settings_.agentAddress; }
  const std::string& getPidFileDir() const { return settings_.pidFileDir; }
  const std::set<std::string>& getAddress() const { return settings_.address; }
  int32_t getTimeout() const { return settings_.timeout; }
  const Utils::NameSet& getRunAppList() const { return settings_.runAppList; }
  bool isEnterpriseMode() const { return settings_.useEnterpriseMode; }
  const std::vector<int32_t>& getRecoveryTimeList() const { return settings_.recoveryTimeList; }
  bool getComponentStderrLog() const { return settings_.componentStderrLog; }

 protected:
  // Logs "value of parameter \"KEY\" REASON. Using default value \"DEF\""
  // as a configuration warning.
  static void reportDefault(const std::string& key, const std::string& reason,
                            const std::string& def);

  MonitorSettings settings_;

 private:
  std::string conf_file_;
};

// The configuration agent as the settings reader needs it: one
// configuration request for a program, answered with name/value pairs.
class AgentConfigSource {
 public:
  virtual ~AgentConfigSource() = default;
  // Asks for the parameters of `program`, waiting at most `timeout_seconds`
  // for the answer, and fills `values`. Throws std::exception on failure
  // (no answer, refused request).
  virtual void requestConfig(const std::string& program, int timeout_seconds,
                             std::map<std::string, std::string>& values) = 0;
};

class MonitorConfReader : public ConfReader {
 public:
  explicit MonitorConfReader(const std::string& conf_file);

  // Reads the notification addresses (withNotifier) and, in enterprise
  // mode, the run list from the agent. Failures are logged; the settings
  // from the file stay in force (a failed request leaves the file's run
  // list). A null session is logged and ignored.
  void readConfigFromAgent(AgentConfigSource* session, bool withNotifier);
  // The same over a client session to the agent (configuration protocol,
  // component number 44).
  void readConfigFromAgent(korza::ipc::KzClientSession* session, bool withNotifier);
  void readConfigFromAgent(std::nullptr_t, bool withNotifier) {
    readConfigFromAgent(static_cast<AgentConfigSource*>(nullptr), withNotifier);
  }

  const std::string& getAdminMail() const { return admin_mail_; }
  const std::string& getFilterMail() const { return filter_mail_; }
  const std::string& getMta() const { return mta_; }

  // The local superuser's mailbox, used when the agent names no address.
  static std::string defaultMail();

 private:
  void readPostdConfig(AgentConfigSource& session);
  void readMonitorConfig(AgentConfigSource& session);

  std::string admin_mail_;
  std::string filter_mail_;
  std::string mta_;
};

#endif  // KORZA_CONFIG_CONF_READER_H_
