// A stand-in configuration agent for tests and demonstrations, built on the
// project's IPC library. It serves the configuration (8195), configuration
// store (8206), StartApp (8201) and StopApp (8202) protocols, answers the
// monitor's start contract (one blank on standard output, the pipe kept
// open) and ends on SIGTERM or SIGINT.
//
//   --listen=ADDR     an address to serve (repeatable; "local:", "unix:",
//                     "inet:PORT@HOST")
//   --socket ADDR     the temporary instance of check-all mode: serve ADDR
//                     instead of the --listen addresses
// An address "pid:FILE" is served as "local:FILE.sock", and FILE is written
// as a pid file naming that socket.
//   --pid-file FILE   write the pid and the served addresses there (the
//                     format read by "pid:" addresses); removed at the end
//   --config=FILE     key=value lines sent as the configuration answer; read
//                     again for every request
//   --code=N          response code of configuration answers (default 1)
//   --record=FILE     append "pid N" at start, then one tab-separated line
//                     per request: "config PEER NAME PID TYPE",
//                     "store PEER NAME PID N",
//                     "start PEER NAME PID PERMISSIONS ARGS",
//                     "stop PEER NAME PID"
//   --log=FILE        the IPC library's log, at debug level
//   --check-only      print "Options OK" and exit
// Other arguments are ignored. "--socket" and "--pid-file" also take the
// "--socket=ADDR" form.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/log.h"
#include "base/utils.h"
#include "ipc/kz_app_proto.h"
#include "ipc/kz_config_proto.h"
#include "ipc/kz_session.h"

namespace {

using korza::base::KzTimeout;
using korza::postd::ConfigRequester;
using korza::postd::ConfigValues;

struct Options {
  std::vector<std::string> listen;
  std::string socket;
  std::string pidFile;
  std::string config;
  std::string record;
  std::string log;
  int code = 1;
  bool checkOnly = false;
};

std::mutex g_record_mutex;

void appendLine(const std::string& path, const std::string& line) {
  if (path.empty()) return;
  std::lock_guard<std::mutex> lock(g_record_mutex);
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW, 0644);
  if (fd < 0) return;
  Utils::writeAll(fd, line + "\n");
  close(fd);
}

void record(const Options& o, const std::vector<std::string>& fields) {
  std::string line;
  for (const auto& f : fields) line += (line.empty() ? "" : "\t") + f;
  appendLine(o.record, line);
}

ConfigValues readConfig(const std::string& path) {
  ConfigValues values;
  if (path.empty()) return values;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    const size_t eq = line.find('=');
    if (line.empty() || line[0] == '#' || eq == std::string::npos) continue;
    values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return values;
}

// An address in the pid-file form: a Unix path, or HOST:PORT.
std::string pidFileLine(const std::string& spec) {
  for (const char* prefix : {"local:", "unix:"}) {
    if (spec.compare(0, strlen(prefix), prefix) == 0) return spec.substr(strlen(prefix));
  }
  const size_t at = spec.find('@');
  if (spec.compare(0, 5, "inet:") == 0 && at != std::string::npos) {
    return spec.substr(at + 1) + ":" + spec.substr(5, at - 5);
  }
  return spec;
}

void parse(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](const std::string& name, std::string* out) {
      if (arg == name && i + 1 < argc) {
        *out = argv[++i];
        return true;
      }
      if (arg.compare(0, name.size() + 1, name + "=") == 0) {
        *out = arg.substr(name.size() + 1);
        return true;
      }
      return false;
    };
    std::string v;
    if (arg == "--check-only") {
      o->checkOnly = true;
    } else if (value("--listen", &v)) {
      o->listen.push_back(v);
    } else if (value("--code", &v)) {
      o->code = atoi(v.c_str());
    } else {
      (void)(value("--socket", &o->socket) || value("--pid-file", &o->pidFile) ||
             value("--config", &o->config) || value("--record", &o->record) ||
             value("--log", &o->log));
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  parse(argc, argv, &o);
  if (o.checkOnly) {
    std::fputs("Options OK\n", stdout);
    return 0;
  }
  std::vector<std::string> addresses;
  std::vector<std::string> pid_files;
  if (!o.pidFile.empty()) pid_files.push_back(o.pidFile);
  for (const auto& a : o.socket.empty() ? o.listen : std::vector<std::string>{o.socket}) {
    if (a.compare(0, 4, "pid:") == 0) {
      pid_files.push_back(a.substr(4));
      addresses.push_back("local:" + a.substr(4) + ".sock");
    } else {
      addresses.push_back(a);
    }
  }
  if (addresses.empty()) {
    std::fputs("kz-test-agent: no address to serve (--listen or --socket)\n", stderr);
    return 2;
  }
  appendLine(o.record, "pid " + std::to_string(getpid()));
  korza::ipcLog().init(o.log.empty() ? "syslog" : o.log, o.log.empty() ? "quiet" : "debug",
                       "daemon", false);

  // SIGTERM, SIGINT and SIGHUP are taken by sigwait below only.
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&set, s);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);

  auto pool = std::make_shared<korza::ipc::KzPersistentServerPoolManager>();
  korza::ipc::KzServerSession session(pool);
  session.SetRequestTimeout(KzTimeout(5000u));
  session.Register(std::make_shared<korza::postd::KzConfigServer>([&o](const ConfigRequester& who,
                                                                       ConfigValues& values) {
    record(o, {"config", who.remote, who.name, std::to_string(who.pid), std::to_string(who.type)});
    values = readConfig(o.config);
    return o.code == 1;
  }));
  session.Register(std::make_shared<korza::postd::KzConfigStoreServer>(
      [&o](const ConfigRequester& who, const ConfigValues& settings) {
        record(o, {"store", who.remote, who.name, std::to_string(who.pid),
                   std::to_string(settings.size())});
        return true;
      }));
  session.Register(std::make_shared<korza::postd::KzStartAppServer>(
      [&o](const std::string& peer, const std::string& name, int32_t pid,
           const std::string& permissions, const std::string& args) {
        record(o, {"start", peer, name, std::to_string(pid), permissions, args});
      }));
  session.Register(std::make_shared<korza::postd::KzStopAppServer>(
      [&o](const std::string& peer, const std::string& name, int32_t pid) {
        record(o, {"stop", peer, name, std::to_string(pid)});
      }));
  try {
    session.Open(addresses);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kz-test-agent: cannot serve: %s\n", e.what());
    return 2;
  }
  std::string text = std::to_string(getpid()) + "\n";
  for (const auto& a : addresses) text += pidFileLine(a) + "\n";
  for (const auto& file : pid_files) {
    const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0644);
    const bool written = fd >= 0 && Utils::writeAll(fd, text);
    if (fd >= 0) close(fd);
    if (!written) {
      std::fprintf(stderr, "kz-test-agent: cannot write %s\n", file.c_str());
      return 2;
    }
  }

  std::atomic<bool> stop{false};
  std::vector<std::thread> servers;
  servers.reserve(2);
  for (int i = 0; i < 2; ++i) {
    servers.emplace_back([&] {
      while (!stop) {
        try {
          session.Execute(KzTimeout(200u));
        } catch (const std::exception&) {
          // A broken exchange ends only that exchange.
        }
      }
    });
  }
  // Up and serving: the start answer.
  Utils::writeAll(STDOUT_FILENO, " ");

  int signo = 0;
  for (;;) {
    if (sigwait(&set, &signo) != 0) continue;
    if (signo == SIGHUP) {
      record(o, {"signal", "HUP"});
      continue;
    }
    break;
  }
  stop = true;
  for (auto& t : servers) t.join();
  session.Close();
  for (const auto& file : pid_files) unlink(file.c_str());
  return 0;
}
