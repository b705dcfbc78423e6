// korza-ctl: the control client of korza-monitor. It sends one request to
// the daemon's control address and reports the outcome:
//
//   korza-ctl [-a ADDRESS] reload PID...        reload-component request
//   korza-ctl [-a ADDRESS] update DIR SECOND PRODUCT   update request
//
// The address defaults to the first /Monitor/Address of the configuration
// file (-c, default as the daemon's). Exit statuses: 0 done, 1 the update
// was refused (its text on standard error), 2 the daemon cannot be reached,
// 3 no answer in time, 6 a command-line error, 8 no usable address.
#include <boost/program_options.hpp>
#include <chrono>
#include <cstdlib>
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
#include "ipc/kz_session.h"

namespace po = boost::program_options;
using korza::base::KzTimeout;

namespace {

const char kName[] = "korza-ctl";
const char kDefaultConfFile[] = "/usr/local/etc/korza/monitor.conf";

enum Status {
  kDone = 0,
  kRefused = 1,
  kUnreachable = 2,
  kTimedOut = 3,
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
      "     korza-ctl [OPTION] update DIR SECOND PRODUCT\n"
      "Options",
      line_length, line_length / 2);
  desc.add_options()("help,h", "display this message")(
      "address,a", po::value<std::string>(&opts.address),
      "control address of the monitor (default: the first /Monitor/Address)")(
      "conf,c", po::value<std::string>(&opts.confFile)->default_value(kDefaultConfFile),
      "use config file")("timeout,t", po::value<int>(&opts.timeout)->default_value(60),
                         "seconds to wait for the monitor (1..3600)");
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
  if (opts.command == "reload") {
    for (const auto& a : opts.args) {
      char* end = nullptr;
      const long pid = std::strtol(a.c_str(), &end, 10);
      if (a.empty() || *end != '\0' || pid <= 0 || pid > 0x7fffffffL) {
        throw UsageError("wrong pid '" + a + "'");
      }
    }
  } else if (opts.command == "update") {
    if (opts.args.size() != 3) throw UsageError("update needs DIR SECOND PRODUCT");
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
