// Test helpers to run programs with a bounded time: capture their output and
// exit status, or keep them running and wait for conditions.
#ifndef KORZA_TESTS_SUPPORT_PROCESS_RUNNER_H_
#define KORZA_TESTS_SUPPORT_PROCESS_RUNNER_H_

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace kztest {

struct RunResult {
  int status = -1;  // exit status, or -1 when killed by a signal / timed out
  std::string out, err;
};

// Runs argv (argv[0] is the program path) with stdin from /dev/null, waits at
// most `timeout`, kills it (SIGKILL) past that.
RunResult runProgram(const std::vector<std::string>& argv,
                     std::chrono::milliseconds timeout = std::chrono::seconds(30),
                     const std::string& workdir = std::string());

// A program running in the background; its output goes to files. The
// destructor kills it (SIGKILL) and reaps it if it still runs.
class Background {
 public:
  Background(const std::vector<std::string>& argv, const std::string& out_file,
             const std::string& err_file, const std::string& workdir = std::string());
  ~Background();
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

  pid_t pid() const { return pid_; }
  bool signal(int signo);
  // Waits for the exit; false on time-out. Fills status (-1 for a signal).
  bool wait(std::chrono::milliseconds timeout, int* status);
  bool running();

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int raw_status_ = 0;
};

// Polls `cond` every 20 ms until it is true or `timeout` passes.
bool waitFor(const std::function<bool()>& cond,
             std::chrono::milliseconds timeout = std::chrono::seconds(10));

// True when a process with this pid exists (zombies included).
bool processExists(pid_t pid);

}  // namespace kztest

#endif  // KORZA_TESTS_SUPPORT_PROCESS_RUNNER_H_
