#include "config/conf_reader.h"

#include <strings.h>

#include <cctype>
#include <exception>
#include <memory>
#include <stdexcept>

#include "base/flags.h"
#include "base/log.h"
#include "config/conf_parser.h"
#include "config/conf_store.h"
#include "ipc/kz_config_proto.h"
#include "ipc/kz_session.h"

using korza::monitorLog;

namespace {

const char* const kProgramForAgent = "korza-monitor";
const char* const kDefaultAgentAddress = "local:/var/korza/ipc/.agent";
const char* const kDefaultRunApp = "AGENT";
// The number by which the agent knows the monitor among the suite's programs.
const int32_t kMonitorComponentNumber = 44;

bool isLevelName(const std::string& name) {
  for (const char* level : {"info", "debug", "alert", "error", "quiet"}) {
    if (strcasecmp(name.c_str(), level) == 0) return true;
  }
  return false;
}

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return s;
}

// One configuration request per call over a client session.
class SessionConfigSource : public AgentConfigSource {
 public:
  explicit SessionConfigSource(korza::ipc::KzClientSession& session) : session_(session) {}
  void requestConfig(const std::string& program, int timeout_seconds,
                     std::map<std::string, std::string>& values) override {
    auto client = std::make_shared<korza::postd::KzConfigClient>(kMonitorComponentNumber, program);
    const korza::base::KzTimeout timeout(timeout_seconds, korza::base::KzTimeout::kSeconds);
    if (!session_.Execute(client, timeout)) {
      throw std::runtime_error(client->LastError().empty()
                                   ? "no answer from " + session_.AddressListText()
                                   : client->LastError());
    }
    values = client->Values();
  }

 private:
  korza::ipc::KzClientSession& session_;
};

}  // namespace

ConfReader::ConfReader(const std::string& conf_file) : conf_file_(conf_file) {}

void ConfReader::reportDefault(const std::string& key, const std::string& reason,
                               const std::string& def) {
  conf_store_t::warning("value of parameter \"" + key + "\" " + reason +
                        ". Using default value \"" + def + "\"");
}

void ConfReader::reload() {
  monitorLog().debug("ConfReader::reload()");
  conf_parser_t parser(conf_file_);
  conf_store_t store;
  parser.parse(store);

  MonitorSettings s;
  s.logLevel = store.get_string("/Logging/Level", "info");
  s.ipcLogLevel = store.get_string("/Logging/IPCLevel", "error");
  s.syslogFacility = store.get_string("/Logging/SyslogFacility", "daemon");
  s.logFileName = store.get_string("/Logging/FileName", "syslog");
  if (!isLevelName(s.logLevel)) {
    reportDefault("/Logging/Level", "is wrong", "Info");
    s.logLevel = "info";
  }
  if (!isLevelName(s.ipcLogLevel)) {
    reportDefault("/Logging/IPCLevel", "is wrong", "Error");
    s.ipcLogLevel = "error";
  }
  // A facility or log file the back-end refuses is a configuration error
  // too: the log keeps its previous set-up.
  if (!korza::initMonitorLogging(s.logFileName, s.logLevel, s.ipcLogLevel, s.syslogFacility,
                                 checkMode)) {
    conf_warning_issued = true;
  }

  s.runForeground = store.get_yes_no("/Monitor/RunForeground", false);
  s.user = store.get_string("/Monitor/User", "");
  s.group = store.get_string("/Monitor/Group", "");
  s.chDir = store.get_string("/Monitor/ChDir", "");
  s.metaConfigDir = store.get_dir("/Monitor/MetaConfigDir", "/etc/korza/monitor.meta");
  s.injectCmd = store.get_string("/Monitor/InjectCmd", "/usr/sbin/sendmail -t");
  s.agentResponseTime = store.get_number_in("/Monitor/AgentResponseTime", 1, 3600, 30);
  s.agentAddress = store.get_list("/Monitor/AgentAddress");
  if (s.agentAddress.empty()) {
    reportDefault("/Monitor/AgentAddress", "is empty", kDefaultAgentAddress);
    s.agentAddress.push_back(kDefaultAgentAddress);
  }
  s.pidFileDir = store.get_dir("/Monitor/PidFileDir", "/var/korza/run/");
  s.address = store.get_string_set("/Monitor/Address");
  s.timeout = store.get_number_in("/Monitor/Timeout", 1, 3600, 30);
  for (const auto& name : store.get_list("/Monitor/RunAppList")) s.runAppList.insert(name);
  if (s.runAppList.empty()) {
    reportDefault("/Monitor/RunAppList", "is empty", kDefaultRunApp);
    s.runAppList.insert(kDefaultRunApp);
  }
  s.useEnterpriseMode = store.get_yes_no("/Monitor/UseEnterpriseMode", false);
  s.recoveryTimeList = store.get_number_list("/Monitor/RecoveryTimeList");
  // Optional: absent, the components' standard error stays on /dev/null
  // without a warning.
  std::string stderr_mode;
  try {
    stderr_mode = Utils::trim(store.get("/Monitor/ComponentStderr"));
    for (char& c : stderr_mode) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  } catch (const conf_store_exception_t&) {
    stderr_mode = "no";
  }
  if (stderr_mode != "no" && stderr_mode != "log") {
    reportDefault("/Monitor/ComponentStderr", "is wrong", "no");
    stderr_mode = "no";
  }
  s.componentStderrLog = stderr_mode == "log";
  settings_ = std::move(s);
}

MonitorConfReader::MonitorConfReader(const std::string& conf_file)
    : ConfReader(conf_file), admin_mail_(defaultMail()), filter_mail_(defaultMail()) {}

std::string MonitorConfReader::defaultMail() {
  const std::string host = Utils::hostName();
  return host.empty() ? "root" : "root@" + host;
}

void MonitorConfReader::readConfigFromAgent(AgentConfigSource* session, bool withNotifier) {
  monitorLog().debug("MonitorConfReader::readConfigFromAgent()");
  if (session == nullptr) {
    monitorLog().error("agent session is not created");
    return;
  }
  if (withNotifier) readPostdConfig(*session);
  if (isEnterpriseMode()) readMonitorConfig(*session);
}

void MonitorConfReader::readConfigFromAgent(korza::ipc::KzClientSession* session,
                                            bool withNotifier) {
  if (session == nullptr) {
    readConfigFromAgent(static_cast<AgentConfigSource*>(nullptr), withNotifier);
    return;
  }
  SessionConfigSource source(*session);
  readConfigFromAgent(&source, withNotifier);
}

void MonitorConfReader::readPostdConfig(AgentConfigSource& session) {
  monitorLog().debug("MonitorConfReader::readPostdConfigFromAgent( baseDir )");
  try {
    std::map<std::string, std::string> values;
    session.requestConfig(kProgramForAgent, getAgentResponseTime(), values);
    std::string admin, filter, mta;
    for (const auto& kv : values) {
      if (Utils::equalsNoCase(kv.first, "notifier/adminmail")) {
        admin = kv.second;
      } else if (Utils::equalsNoCase(kv.first, "notifier/filtermail")) {
        filter = kv.second;
      } else if (Utils::equalsNoCase(kv.first, "monitor/mta")) {
        mta = upper(kv.second);
      }
    }
    const std::string def = defaultMail();
    for (auto* mail : {&admin, &filter}) {
      if (!mail->empty()) continue;
      const char* name = mail == &admin ? "/Notifier/AdminMail" : "/Notifier/FilterMail";
      conf_store_t::warning(std::string("parameter \"") + name +
                            "\" from postd configuration not defined, use default value \"" + def +
                            "\"");
      *mail = def;
    }
    admin_mail_ = admin;
    filter_mail_ = filter;
    mta_ = mta;
  } catch (const std::exception& e) {
    monitorLog().error(std::string("cannot read postd data from korza-agent: ") + e.what());
  }
}

void MonitorConfReader::readMonitorConfig(AgentConfigSource& session) {
  monitorLog().debug("MonitorConfReader::readMonitorConfigFromAgent( baseDir )");
  // A request that fails leaves the list read from the file in force: an
  // agent that cannot answer must not empty the run set.
  const Utils::NameSet from_file = settings_.runAppList;
  settings_.runAppList.clear();
  try {
    std::map<std::string, std::string> values;
    session.requestConfig(kProgramForAgent, getAgentResponseTime(), values);
    std::string text;
    for (const auto& kv : values) {
      if (Utils::equalsNoCase(kv.first, "monitor/runapplist")) {
        text = kv.second;
      } else {
        monitorLog().alert("unknown parameter: " + kv.first + " = " + kv.second);
      }
    }
    if (text.empty()) {
      settings_.runAppList.insert(kDefaultRunApp);
    } else {
      for (const auto& piece : Utils::split(text, ",")) {
        const std::string name = Utils::trim(piece);
        if (!name.empty()) settings_.runAppList.insert(name);
      }
    }
    monitorLog().debug("agent sent run app list: " + text);
  } catch (const std::exception& e) {
    monitorLog().error(std::string("cannot read monitor data from korza-agent: ") + e.what());
    if (settings_.runAppList.empty()) settings_.runAppList = from_file;
  }
}
