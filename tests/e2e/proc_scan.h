// What the end-to-end tests see of processes through /proc: the children of
// a process, the program a process runs, the pipes its descriptors are, and
// a descriptor limit set for the programs a test starts.
#ifndef KORZA_TESTS_E2E_PROC_SCAN_H_
#define KORZA_TESTS_E2E_PROC_SCAN_H_

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "tests/support/sandbox.h"

namespace kztest {

// Every process whose program path (argv[0]) starts with `prefix`, zombies
// left out.
inline std::vector<pid_t> processesUnder(const std::string& prefix) {
  std::vector<pid_t> out;
  DIR* dir = opendir("/proc");
  if (dir == nullptr) return out;
  while (const dirent* e = readdir(dir)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
    if (pid <= 0) continue;
    const std::string base = std::string("/proc/") + e->d_name;
    const std::string cmd = readFile(base + "/cmdline");
    if (cmd.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string stat = readFile(base + "/stat");
    const size_t paren = stat.rfind(')');
    if (paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'Z') continue;
    out.push_back(pid);
  }
  closedir(dir);
  return out;
}

// The file name of argv[0] of `pid`, "" when gone.
inline std::string programName(pid_t pid) {
  const std::string cmd = readFile("/proc/" + std::to_string(pid) + "/cmdline");
  const std::string argv0 = cmd.substr(0, cmd.find('\0'));
  return argv0.substr(argv0.rfind('/') + 1);
}

// Descriptor number -> link text ("pipe:[123]") of every descriptor of `pid`.
inline std::map<int, std::string> descriptorLinks(pid_t pid) {
  std::map<int, std::string> out;
  const std::string base = "/proc/" + std::to_string(pid) + "/fd/";
  DIR* dir = opendir(base.c_str());
  if (dir == nullptr) return out;
  while (const dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    char link[256];
    const ssize_t n = readlink((base + e->d_name).c_str(), link, sizeof link - 1);
    if (n > 0) out[std::atoi(e->d_name)] = std::string(link, static_cast<size_t>(n));
  }
  closedir(dir);
  return out;
}

// Sets this process's descriptor limits (for the programs it starts) until
// it goes; the test runs as root, so the hard limit comes back too.
class ScopedNoFileLimit {
 public:
  ScopedNoFileLimit(rlim_t soft, rlim_t hard) {
    const struct rlimit l = {soft, hard};
    ok_ = getrlimit(RLIMIT_NOFILE, &saved_) == 0 && setrlimit(RLIMIT_NOFILE, &l) == 0;
  }
  ~ScopedNoFileLimit() { setrlimit(RLIMIT_NOFILE, &saved_); }
  bool ok() const { return ok_; }

 private:
  struct rlimit saved_ {};
  bool ok_ = false;
};

// Kills (SIGKILL) every process under the watched prefix when it goes:
// whatever a failed test left.
struct ProcessSweeper {
  ~ProcessSweeper() {
    for (pid_t pid : prefix.empty() ? std::vector<pid_t>() : processesUnder(prefix))
      kill(pid, SIGKILL);
  }
  std::string prefix;
};

}  // namespace kztest

#endif  // KORZA_TESTS_E2E_PROC_SCAN_H_
