// korza-ctl: the control client of korza-monitor. It sends one request to
// the daemon's control address and reports the outcome:
//
//   korza-ctl [-a ADDRESS] reload PID...        reload-component request
//   korza-ctl [-a ADDRESS] restart APP[/COMPONENT]...  restart request
//   korza-ctl [-a ADDRESS] update DIR SECOND PRODUCT   update request
//   korza-ctl [-a ADDRESS] status [--json | --prometheus] [APP...]
//                                                      status request
//
// The address defaults to the first /Monitor/Address of the configuration
// file (-c, default as the daemon's). Exit statuses: 0 done, 1 the update
// or the restart was refused or failed (its text on standard error), 2 the daemon cannot be
// reached, 3 an application asked about is not started (or not known), 4 no answer in time, 6 a
// command-line error, 8 no usable address.
#include <algorithm>
#include <boost/program_options.hpp>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "base/log.h"
#include "config/conf_parser.h"
#include "config/conf_store.h"
#include "ipc/kz_control_proto.h"
#include "ipc/kz_factory.h"
#include "ipc/kz_restart_proto.h"
#include "ipc/kz_session.h"
#include "ipc/kz_status_proto.h"

namespace po = boost::program_options;
using korza::base::KzTimeout;

namespace {

const char kName[] = "korza-ctl";
const char kDefaultConfFile[] = KZ_CONF_FILE;

enum Status {
  kDone = 0,
  kRefused = 1,
  kUnreachable = 2,
  kNotStarted = 3,
  kTimedOut = 4,
  kUsage = 6,
  kNoAddress = 8,
};

struct UsageError : std::runtime_error {
  explicit UsageError(const std::string& what) : std::runtime_error(what) {}
};

struct Options {
  std::string address;
  std::string confFile;
  int timeout = 60;
  bool json = false;
  bool prometheus = false;
  std::string command;
  std::vector<std::string> args;
};

int fail(int status, const std::string& text) {
  std::cerr << kName << ": " << text << std::endl;
  return status;
}

// Returns false when help was printed.
bool parse(int argc, char** argv, Options& opts) {
  const unsigned line_length = po::options_description::m_default_line_length;
  po::options_description desc(
      "Use: korza-ctl [OPTION] reload PID...\n"
      "     korza-ctl [OPTION] restart APP[/COMPONENT]...\n"
      "     korza-ctl [OPTION] update DIR SECOND PRODUCT\n"
      "     korza-ctl [OPTION] status [--json | --prometheus] [APP...]\n"
      "Options",
      line_length, line_length / 2);
  desc.add_options()("help,h", "display this message")(
      "address,a", po::value<std::string>(&opts.address),
      "control address of the monitor (default: the first /Monitor/Address)")(
      "conf,c", po::value<std::string>(&opts.confFile)->default_value(kDefaultConfFile),
      "use config file")("timeout,t", po::value<int>(&opts.timeout)->default_value(60),
                         "seconds to wait for the monitor (1..3600)")(
      "json", po::bool_switch(&opts.json), "status: print JSON")(
      "prometheus", po::bool_switch(&opts.prometheus), "status: print the Prometheus text format");
  po::options_description hidden;
  hidden.add_options()("command", po::value<std::string>(&opts.command))(
      "args", po::value<std::vector<std::string>>(&opts.args));
  po::options_description all;
  all.add(desc).add(hidden);
  po::positional_options_description positional;
  positional.add("command", 1).add("args", -1);
  po::variables_map vm;
  try {
    po::store(po::command_line_parser(argc, argv).options(all).positional(positional).run(), vm);
    po::notify(vm);
  } catch (const std::exception& e) {
    throw UsageError(e.what());
  }
  if (vm.count("help")) {
    std::cout << desc << std::endl;
    return false;
  }
  if (opts.timeout < 1 || opts.timeout > 3600) throw UsageError("the time-out must be 1..3600");
  if (opts.json && opts.command != "status") throw UsageError("--json goes with status only");
  if (opts.prometheus && opts.command != "status") {
    throw UsageError("--prometheus goes with status only");
  }
  if (opts.json && opts.prometheus) throw UsageError("--json and --prometheus exclude each other");
  if (opts.command == "reload") {
    for (const auto& a : opts.args) {
      char* end = nullptr;
      const long pid = std::strtol(a.c_str(), &end, 10);
      if (a.empty() || *end != '\0' || pid <= 0 || pid > 0x7fffffffL) {
        throw UsageError("wrong pid '" + a + "'");
      }
    }
  } else if (opts.command == "restart") {
    if (opts.args.empty()) throw UsageError("restart needs APP or APP/COMPONENT");
    for (const auto& a : opts.args) {
      const size_t slash = a.find('/');
      if (a.empty() || slash == 0 || slash + 1 == a.size() ||
          (slash != std::string::npos && a.find('/', slash + 1) != std::string::npos)) {
        throw UsageError("wrong restart target '" + a + "'");
      }
    }
  } else if (opts.command == "update") {
    if (opts.args.size() != 3) throw UsageError("update needs DIR SECOND PRODUCT");
  } else if (opts.command == "status") {
  } else if (opts.command.empty()) {
    throw UsageError("no command given");
  } else {
    throw UsageError("unknown command '" + opts.command + "'");
  }
  return true;
}

// The first control address of the configuration file, in file order.
std::string addressFromConf(const std::string& file) {
  conf_store_t store;
  conf_parser_t parser(file);
  parser.parse(store);
  const std::vector<std::string> list = store.get_list("/Monitor/Address");
  if (list.empty()) throw std::runtime_error("no /Monitor/Address in \"" + file + "\"");
  return list.front();
}

using korza::postd::ApplicationStatus;
using korza::postd::ComponentState;
using korza::postd::ComponentStatus;
using korza::postd::StatusSnapshot;

// Local time "2026-12-07 03:04:05", or only "03:04:05".
std::string localTime(int64_t when, bool date = true) {
  const time_t t = static_cast<time_t>(when);
  struct tm parts;
  if (localtime_r(&t, &parts) == nullptr) return std::to_string(when);
  char text[64];
  if (strftime(text, sizeof text, date ? "%Y-%m-%d %H:%M:%S" : "%H:%M:%S", &parts) == 0) {
    return std::to_string(when);
  }
  return text;
}

// "3d04h", "2h05m", "5m12s", "12s".
std::string duration(int64_t seconds) {
  if (seconds < 0) seconds = 0;
  char text[64];
  if (seconds >= 86400) {
    snprintf(text, sizeof text, "%lldd%02lldh", static_cast<long long>(seconds / 86400),
             static_cast<long long>(seconds % 86400 / 3600));
  } else if (seconds >= 3600) {
    snprintf(text, sizeof text, "%lldh%02lldm", static_cast<long long>(seconds / 3600),
             static_cast<long long>(seconds % 3600 / 60));
  } else if (seconds >= 60) {
    snprintf(text, sizeof text, "%lldm%02llds", static_cast<long long>(seconds / 60),
             static_cast<long long>(seconds % 60));
  } else {
    snprintf(text, sizeof text, "%llds", static_cast<long long>(seconds));
  }
  return text;
}

// Length of the valid UTF-8 sequence at s[i], or 0.
size_t utf8Length(const std::string& s, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = byte(i);
  size_t n = 0;
  uint32_t cp = 0;
  if (c >= 0xc2 && c <= 0xdf) {
    n = 2, cp = c & 0x1fu;
  } else if (c >= 0xe0 && c <= 0xef) {
    n = 3, cp = c & 0x0fu;
  } else if (c >= 0xf0 && c <= 0xf4) {
    n = 4, cp = c & 0x07u;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((byte(i + k) & 0xc0u) != 0x80u) return 0;
    cp = (cp << 6) | (byte(i + k) & 0x3fu);
  }
  const uint32_t lowest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < lowest[n] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return 0;
  return n;
}

// `s` with the bytes that are not UTF-8 replaced by `bad` and every ASCII
// byte passed through `ascii` (which appends it, escaped as the format
// wants).
template <typename Ascii>
std::string escapedUtf8(const std::string& s, const char* bad, Ascii ascii) {
  std::string out;
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ascii(out, c);
      ++i;
      continue;
    }
    const size_t n = utf8Length(s, i);
    if (n == 0) {
      out += bad;
      ++i;
    } else {
      out.append(s, i, n);
      i += n;
    }
  }
  return out;
}

// A JSON string; bytes that are not UTF-8 become U+FFFD.
std::string jsonString(const std::string& s) {
  return "\"" +
         escapedUtf8(s, "\\ufffd",
                     [](std::string& out, unsigned char c) {
                       if (c == '"' || c == '\\') {
                         out += '\\';
                         out += static_cast<char>(c);
                       } else if (c < 0x20 || c == 0x7f) {
                         char esc[8];
                         snprintf(esc, sizeof esc, "\\u%04x", c);
                         out += esc;
                       } else {
                         out += static_cast<char>(c);
                       }
                     }) +
         "\"";
}

// Names and causes reach the terminal: no control character gets through
// (line breaks only where the text is made of lines).
std::string printable(std::string text, bool lines = false) {
  for (char& ch : text) {
    if ((static_cast<unsigned char>(ch) < 0x20 && !(lines && ch == '\n')) || ch == 0x7f) ch = '?';
  }
  return text;
}

std::string jsonTime(int64_t when) { return when > 0 ? std::to_string(when) : "null"; }

std::string stateText(const ComponentStatus& c) {
  if (c.state == ComponentState::kWaiting)
    return "waiting (due " + localTime(c.dueTime, false) + ")";
  return korza::postd::stateName(c.state);
}

void printJson(const StatusSnapshot& s, int64_t now,
               const std::vector<const ApplicationStatus*>& apps) {
  std::ostringstream out;
  out << "{\"pid\": " << s.pid << ", \"start_time\": " << jsonTime(s.startTime)
      << ", \"version\": " << jsonString(s.version) << ", \"snapshot_time\": " << jsonTime(s.time)
      << ", \"time\": " << jsonTime(now) << ",\n \"applications\": [";
  const char* app_sep = "";
  for (const ApplicationStatus* app : apps) {
    out << app_sep << "\n  {\"name\": " << jsonString(app->name)
        << ", \"full_name\": " << jsonString(app->fullName)
        << ", \"started\": " << (app->started ? "true" : "false")
        << ", \"in_run_list\": " << (app->inRunList ? "true" : "false") << ", \"components\": [";
    app_sep = ",";
    const char* sep = "";
    for (const ComponentStatus& c : app->components) {
      out << sep << "\n    {\"name\": " << jsonString(c.name) << ", \"pid\": " << c.pid
          << ", \"state\": " << jsonString(korza::postd::stateName(c.state))
          << ", \"due_time\": " << jsonTime(c.dueTime)
          << ", \"last_start\": " << jsonTime(c.lastStart) << ", \"uptime\": "
          << (c.state == ComponentState::kRunning && c.lastStart > 0
                  ? std::to_string(now > c.lastStart ? now - c.lastStart : 0)
                  : "null")
          << ", \"restarts\": " << c.restarts
          << ", \"last_fault_time\": " << jsonTime(c.lastFaultTime)
          << ", \"last_fault\": " << (c.lastFault.empty() ? "null" : jsonString(c.lastFault))
          << "}";
      sep = ",";
    }
    out << "]}";
  }
  out << "\n]}\n";
  std::cout << out.str();
}

// A label value of the Prometheus text format: backslash, double quote and
// newline escaped, bytes that are not UTF-8 replaced by U+FFFD.
std::string promLabel(const std::string& s) {
  return escapedUtf8(s, "\xef\xbf\xbd", [](std::string& out, unsigned char c) {
    if (c == '\\' || c == '"') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += static_cast<char>(c);
    }
  });
}

// The status as gauges of the Prometheus text exposition format, for the
// textfile collector of a node exporter: one series per component and
// metric, labelled with application and component.
void printPrometheus(const StatusSnapshot& s, int64_t now,
                     const std::vector<const ApplicationStatus*>& apps) {
  std::ostringstream out;
  out << "# HELP korza_monitor_info The monitor's version and pid.\n"
      << "# TYPE korza_monitor_info gauge\n"
      << "korza_monitor_info{version=\"" << promLabel(s.version) << "\",pid=\"" << s.pid
      << "\"} 1\n"
      << "# HELP korza_monitor_start_time_seconds When the monitor started (Unix time).\n"
      << "# TYPE korza_monitor_start_time_seconds gauge\n"
      << "korza_monitor_start_time_seconds " << s.startTime << "\n";
  struct Metric {
    const char* name;
    const char* help;
    int64_t (*value)(const ComponentStatus&, int64_t);
  };
  static const Metric kMetrics[] = {
      {"korza_component_up", "Whether the component runs (1) or not (0).",
       [](const ComponentStatus& c, int64_t) -> int64_t {
         return c.state == ComponentState::kRunning ? 1 : 0;
       }},
      {"korza_component_restarts", "Fault restarts since the monitor started.",
       [](const ComponentStatus& c, int64_t) -> int64_t { return c.restarts; }},
      {"korza_component_uptime_seconds", "Seconds since the running instance started (0: none).",
       [](const ComponentStatus& c, int64_t at) -> int64_t {
         return c.state == ComponentState::kRunning && c.lastStart > 0 && at > c.lastStart
                    ? at - c.lastStart
                    : 0;
       }},
      {"korza_component_last_fault_time_seconds", "When the last fault happened (0: none).",
       [](const ComponentStatus& c, int64_t) -> int64_t { return c.lastFaultTime; }},
  };
  for (const Metric& m : kMetrics) {
    out << "# HELP " << m.name << " " << m.help << "\n# TYPE " << m.name << " gauge\n";
    for (const ApplicationStatus* app : apps) {
      for (const ComponentStatus& c : app->components) {
        out << m.name << "{application=\"" << promLabel(app->name) << "\",component=\""
            << promLabel(c.name) << "\"} " << m.value(c, now) << "\n";
      }
    }
  }
  std::cout << out.str();
  std::cout.flush();
}

// Whether the exit status looks at the application: every one named, else
// those the daemon is set to run.
bool counts(const ApplicationStatus& app, const Options& opts) {
  return !opts.args.empty() || app.inRunList;
}

void printTable(const StatusSnapshot& s, int64_t now,
                const std::vector<const ApplicationStatus*>& apps, const Options& opts) {
  std::cout << "korza-monitor " << s.version << ", pid " << s.pid << ", running since "
            << localTime(s.startTime) << "\n";
  // The monitor dates its snapshot up to when it is known to hold: the
  // answer's time while it sleeps, the moment it woke while it works. An
  // older one means it has been busy for a while (a start or a stop that
  // waits for a component).
  if (now - s.time > 5) std::cout << "state as of " << localTime(s.time) << "\n";
  std::vector<std::vector<std::string>> rows{
      {"APPLICATION", "COMPONENT", "STATE", "PID", "UPTIME", "RESTARTS", "LAST FAULT"}};
  std::string not_started;
  std::string not_run;
  for (const ApplicationStatus* app : apps) {
    if (!app->started && counts(*app, opts)) {
      not_started += (not_started.empty() ? "" : ", ") + app->name;
    }
    if (!app->inRunList) not_run += (not_run.empty() ? "" : ", ") + app->name;
    if (app->components.empty()) {
      rows.push_back({app->name, "-", app->started ? "running" : "stopped", "-", "-", "-", "-"});
    }
    for (const ComponentStatus& c : app->components) {
      const bool running = c.state == ComponentState::kRunning;
      rows.push_back({app->name, c.name, stateText(c), c.pid > 0 ? std::to_string(c.pid) : "-",
                      running && c.lastStart > 0 ? duration(now - c.lastStart) : "-",
                      std::to_string(c.restarts),
                      c.lastFaultTime > 0 ? localTime(c.lastFaultTime) + " " + c.lastFault : "-"});
    }
  }
  for (auto& row : rows) {
    for (auto& cell : row) cell = printable(cell);
  }
  std::vector<size_t> width(rows.front().size(), 0);
  for (const auto& row : rows) {
    for (size_t i = 0; i < row.size(); ++i) width[i] = std::max(width[i], row[i].size());
  }
  for (const auto& row : rows) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line += std::string(width[i] - row[i].size() + 2, ' ');
    }
    std::cout << line << "\n";
  }
  if (!not_started.empty()) std::cout << "not started: " << printable(not_started) << "\n";
  if (!not_run.empty()) std::cout << "not in the run list: " << printable(not_run) << "\n";
  std::cout.flush();
}

bool sameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// Prints the answer for the named applications (all without names); 0
// when every one that counts is started.
int reportStatus(const korza::postd::KzStatusClient& client, const Options& opts) {
  const StatusSnapshot& s = client.GetResult();
  std::vector<const ApplicationStatus*> apps;
  for (const std::string& name : opts.args) {
    const ApplicationStatus* found = nullptr;
    for (const ApplicationStatus& app : s.applications) {
      if (sameName(app.name, name)) found = &app;
    }
    if (found == nullptr) return fail(kNotStarted, "unknown application '" + name + "'");
    apps.push_back(found);
  }
  if (opts.args.empty()) {
    for (const ApplicationStatus& app : s.applications) apps.push_back(&app);
  }
  if (opts.prometheus) {
    printPrometheus(s, client.serverTime(), apps);
  } else if (opts.json) {
    printJson(s, client.serverTime(), apps);
  } else {
    printTable(s, client.serverTime(), apps, opts);
  }
  for (const ApplicationStatus* app : apps) {
    if (!app->started && counts(*app, opts)) return kNotStarted;
  }
  return kDone;
}

int run(const Options& opts) {
  std::string address = opts.address;
  if (address.empty()) {
    try {
      address = addressFromConf(opts.confFile);
    } catch (const std::exception& e) {
      return fail(kNoAddress, e.what());
    }
  }
  const KzTimeout timeout(opts.timeout, KzTimeout::kSeconds);
  korza::ipc::KzAddressList resolved;
  try {
    resolved = korza::ipc::ResolveAddressList({address});
  } catch (const std::exception& e) {
    return fail(kNoAddress, "cannot use the address \"" + address + "\": " + e.what());
  }
  if (resolved.empty()) return fail(kNoAddress, "cannot use the address \"" + address + "\"");
  // A first connection tells an absent daemon from one that does not answer.
  try {
    korza::ipc::KzIpcPtr probe =
        korza::ipc::KzIpcFactory::Instance().Create(korza::ipc::KzAddressPtr(), resolved.front());
    if (!probe) return fail(kNoAddress, "cannot use the address \"" + address + "\"");
    const bool connected = probe->Connect(timeout);
    probe->Close();
    if (!connected) {
      return fail(kTimedOut, "no connection to the monitor at " + address + " in time");
    }
  } catch (const std::exception& e) {
    return fail(kUnreachable, "cannot connect to the monitor at " + address + ": " + e.what());
  }

  auto pool =
      std::make_shared<korza::ipc::KzPersistentClientPoolManager>(korza::ipc::ConnSettings(0, 1));
  korza::ipc::KzClientSession session(pool);
  try {
    session.Open(address);
  } catch (const std::exception& e) {
    return fail(kUnreachable, "cannot connect to the monitor at " + address + ": " + e.what());
  }
  const auto start = std::chrono::steady_clock::now();
  const auto outOfTime = [&] {
    return std::chrono::steady_clock::now() - start >= std::chrono::seconds(opts.timeout);
  };
  if (opts.command == "status") {
    auto proto = std::make_shared<korza::postd::KzStatusClient>();
    bool ok = false;
    try {
      ok = session.process(proto, timeout);
    } catch (const std::exception& e) {
      return fail(kUnreachable, "the status request to " + address + " failed: " + e.what());
    }
    if (!ok || !proto->answered()) {
      return outOfTime() ? fail(kTimedOut, "no answer from the monitor at " + address + " in time")
                         : fail(kUnreachable, "the status request to " + address + " failed");
    }
    return reportStatus(*proto, opts);
  }
  if (opts.command == "reload") {
    std::vector<int32_t> pids;
    for (const auto& a : opts.args) pids.push_back(static_cast<int32_t>(std::atol(a.c_str())));
    auto proto = std::make_shared<korza::postd::KzReloadCompClient>(pids);
    if (!session.process(proto, timeout)) {
      return outOfTime() ? fail(kTimedOut, "no answer from the monitor at " + address + " in time")
                         : fail(kUnreachable, "the reload request to " + address + " failed");
    }
    std::cout << "reload request for " << pids.size() << " pid(s) sent to " << address << std::endl;
    return kDone;
  }
  if (opts.command == "restart") {
    auto proto = std::make_shared<korza::postd::KzRestartClient>(opts.args);
    bool ok = false;
    try {
      ok = session.process(proto, timeout);
    } catch (const std::exception& e) {
      return fail(kUnreachable, "the restart request to " + address + " failed: " + e.what());
    }
    if (!ok) {
      return outOfTime() ? fail(kTimedOut, "no answer from the monitor at " + address + " in time")
                         : fail(kUnreachable, "the restart request to " + address + " failed");
    }
    std::string text = proto->text();
    while (!text.empty() && text.back() == '\n') text.pop_back();
    if (!proto->succeeded()) return fail(kRefused, "restart refused: " + printable(text, true));
    std::cout << printable(text, true) << std::endl;
    return kDone;
  }
  auto proto =
      std::make_shared<korza::postd::KzUpdateClient>(opts.args[0], opts.args[1], opts.args[2]);
  const bool ok = session.process(proto, timeout);
  if (!proto->answered()) {
    return outOfTime() ? fail(kTimedOut, "no answer from the monitor at " + address + " in time")
                       : fail(kUnreachable, "the update request to " + address + " failed");
  }
  std::string text = std::get<0>(proto->GetResult());
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  if (!ok) return fail(kRefused, "update refused: " + text);
  std::cout << "update accepted by " << address << std::endl;
  return kDone;
}

}  // namespace

int main(int argc, char** argv) {
  // The libraries' own log lines would go to the system log; the outcome
  // is reported on the terminal instead.
  korza::monitorLog().setLevel(korza::kLogQuiet);
  korza::ipcLog().setLevel(korza::kLogQuiet);
  Options opts;
  try {
    if (!parse(argc, argv, opts)) return kDone;
  } catch (const UsageError& e) {
    std::cerr << kName << ": " << e.what() << "\n"
              << "Try '" << kName << " --help' for more options" << std::endl;
    return kUsage;
  }
  return run(opts);
}
