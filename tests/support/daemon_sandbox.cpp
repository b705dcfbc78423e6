#include "tests/support/daemon_sandbox.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace kztest {

DaemonSandbox::DaemonSandbox() {
  for (const char* sub : {"meta", "bin", "run"}) {
    if (mkdir(dir_.file(sub).c_str(), 0755) != 0) throw std::runtime_error("mkdir failed");
  }
  settings = {
      {"Logging/Level", "debug"},
      {"Logging/IPCLevel", "error"},
      {"Logging/SyslogFacility", "daemon"},
      {"Logging/FileName", logFile()},
      {"Monitor/RunForeground", "yes"},
      {"Monitor/User", ""},
      {"Monitor/Group", ""},
      {"Monitor/ChDir", ""},
      {"Monitor/MetaConfigDir", metaDir()},
      {"Monitor/InjectCmd", "cat >/dev/null"},
      {"Monitor/AgentResponseTime", "5"},
      {"Monitor/AgentAddress", "local:" + runDir() + ".agent"},
      {"Monitor/PidFileDir", runDir()},
      {"Monitor/Address", "local:" + runDir() + ".monitor"},
      {"Monitor/Timeout", "30"},
      {"Monitor/RunAppList", "AGENT"},
      {"Monitor/UseEnterpriseMode", "no"},
      {"Monitor/RecoveryTimeList", "1, 1, 1"},
  };
}

DaemonSandbox::~DaemonSandbox() {
  if (daemon_) {
    // Leave nothing behind: the daemon and every component it started are in
    // the daemon's process group unless they made sessions of their own,
    // which components do; SIGTERM first lets the daemon stop them.
    if (daemon_->running()) stopWith(SIGTERM, std::chrono::seconds(30));
    daemon_.reset();
  }
  killComponents();
}

std::vector<pid_t> DaemonSandbox::componentPids(const std::string& component) const {
  std::vector<pid_t> pids;
  const std::string text = readFile(recordFile(component));
  size_t pos = 0;
  while ((pos = text.find("pid ", pos)) != std::string::npos) {
    if (pos == 0 || text[pos - 1] == '\n') pids.push_back(std::atoi(text.c_str() + pos + 4));
    pos += 4;
  }
  return pids;
}

pid_t DaemonSandbox::waitForInstance(const std::string& component, size_t count) const {
  pid_t pid = -1;
  waitFor([&] {
    auto pids = componentPids(component);
    if (pids.size() < count) return false;
    pid = pids.back();
    return true;
  });
  return pid;
}

bool DaemonSandbox::anyComponentAlive() const {
  for (const auto& c : components_) {
    for (pid_t pid : componentPids(c)) {
      if (processExists(pid)) return true;
    }
  }
  return false;
}

void DaemonSandbox::killComponents() const {
  for (const auto& c : components_) {
    for (pid_t pid : componentPids(c)) {
      if (pid > 1) kill(pid, SIGKILL);
    }
  }
}

void DaemonSandbox::addApplication(const ApplicationSpec& app, const std::string& program) {
  const std::string prog = program.empty() ? std::string(KZ_BIN_DIR "/kz-test-component") : program;
  std::string text = "APPLICATION " + app.name + "\n";
  text += "    FULLNAME \"" + app.name + " application\"\n";
  text += "    PATH " + appDir() + "\n";
  text += "    DEPENDS";
  for (size_t i = 0; i < app.depends.size(); ++i) text += (i ? ", " : " ") + app.depends[i];
  text += "\n    COMPONENTS\n";
  for (const auto& c : app.components) {
    components_.push_back(c.name);
    const std::string link = appDir() + c.name;
    unlink(link.c_str());
    if (symlink(prog.c_str(), link.c_str()) != 0) throw std::runtime_error("symlink failed");
    text += "        " + c.name + " \"" + c.argv + "\" " + std::to_string(c.timeStart) + " " +
            std::to_string(c.timeStop) + " " + c.logType + " " +
            (c.user.empty() ? std::string("\"\"") : c.user) + "\n";
  }
  text += "    ENDCOMPONENTS\nENDAPPLICATION\n";
  writeFile(metaDir() + app.name + ".mmc", text);
}

void DaemonSandbox::breakProgram(const std::string& name) const {
  const std::string link = appDir() + name;
  if (unlink(link.c_str()) != 0 || symlink("/bin/false", link.c_str()) != 0)
    throw std::runtime_error("cannot replace " + link);
}

void DaemonSandbox::writeConf() {
  // The keys are sorted, so the keys of a group follow each other.
  std::string text, group;
  for (const auto& kv : settings) {
    const size_t slash = kv.first.find('/');
    if (kv.first.substr(0, slash) != group)
      text += "[" + (group = kv.first.substr(0, slash)) + "]\n";
    text += kv.first.substr(slash + 1) + " = " + kv.second + "\n";
  }
  writeFile(confFile(), text);
}

RunResult DaemonSandbox::run(const std::vector<std::string>& args,
                             std::chrono::milliseconds timeout) {
  std::vector<std::string> argv{KZ_MONITOR_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  return runProgram(argv, timeout, root());
}

void DaemonSandbox::start(const std::vector<std::string>& args) {
  std::vector<std::string> argv{KZ_MONITOR_BINARY, "-c", confFile()};
  argv.insert(argv.end(), args.begin(), args.end());
  daemon_ = std::make_unique<Background>(argv, dir_.file("stdout"), dir_.file("stderr"), root());
}

void DaemonSandbox::startAndWait() {
  writeConf();
  start();
  EXPECT_TRUE(waitForLog("Korza (R) Components Monitor started")) << log();
}

int DaemonSandbox::stopWith(int signo, std::chrono::milliseconds timeout) {
  int status = -1;
  if (daemon_ && daemon_->signal(signo)) daemon_->wait(timeout, &status);
  return status;
}

bool DaemonSandbox::waitForLog(const std::string& text, size_t count,
                               std::chrono::milliseconds timeout) const {
  return waitFor([&] { return countOf(log(), text) >= count; }, timeout);
}

}  // namespace kztest
