// Shared set-up of the application-layer tests: a temporary application
// directory whose executables are links to the stand-in component program,
// the monitor log captured at debug level, the run state STARTED, and a
// final check that no child process or zombie is left behind.
#ifndef KORZA_TESTS_APPS_APPS_FIXTURE_H_
#define KORZA_TESTS_APPS_APPS_FIXTURE_H_

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "apps/run_state.h"
#include "base/flags.h"
#include "base/log.h"
#include "config/app_config.h"
#include "tests/support/log_capture.h"
#include "tests/support/process_runner.h"
#include "tests/support/sandbox.h"

namespace kztest {

inline const char* testComponentPath() { return KZ_BIN_DIR "/kz-test-component"; }

class AppsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RunState::set(RunState::STARTED);
    checkAll = false;
    unsetenv("KZ_TC_OPTIONS");
  }

  void TearDown() override {
    RunState::set(RunState::INIT);
    checkAll = false;
    unsetenv("KZ_TC_OPTIONS");
    // Every child must have been reaped: waitpid finds none at all.
    int status = 0;
    const pid_t left = waitpid(-1, &status, WNOHANG);
    const int err = errno;
    EXPECT_EQ(left, -1) << "a child process or zombie was left behind";
    if (left == -1) {
      EXPECT_EQ(err, ECHILD);
    }
  }

  // The application directory, ending in "/".
  std::string appPath() const { return dir_.path() + "/"; }

  // Makes `name` in the application directory a link to the stand-in.
  void link(const std::string& name) {
    const std::string target = dir_.file(name);
    unlink(target.c_str());
    ASSERT_EQ(symlink(testComponentPath(), target.c_str()), 0);
  }

  ComponentConf comp(const std::string& name, const std::string& argv, uint32_t time_start = 5,
                     uint32_t time_stop = 2) {
    link(name);
    ComponentConf c;
    c.name = name;
    c.argv = argv;
    c.timeStart = time_start;
    c.timeStop = time_stop;
    c.logType = kLogTypeLog;
    return c;
  }

  std::string log() { return log_.text(); }

  std::string file(const std::string& name) const { return dir_.file(name); }

  // Lines "argv[i] ..." of a record file, in order, without the prefix.
  static std::vector<std::string> recordedArgs(const std::string& record) {
    std::vector<std::string> out;
    std::istringstream in(record);
    for (std::string line; std::getline(in, line);) {
      if (line.compare(0, 5, "argv[") == 0) out.push_back(line.substr(line.find("] ") + 2));
    }
    return out;
  }

  TempDir dir_;
  LogCapture log_;  // at debug level
};

}  // namespace kztest

#endif  // KORZA_TESTS_APPS_APPS_FIXTURE_H_
