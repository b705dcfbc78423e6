#include "tests/support/process_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "tests/support/sandbox.h"

namespace kztest {

namespace {

pid_t spawn(const std::vector<std::string>& argv, const std::string& out_file,
            const std::string& err_file, const std::string& workdir) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid != 0) return pid;
  // Child: new process group so that a test can kill everything it started.
  setpgid(0, 0);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  int in = open("/dev/null", O_RDONLY);
  int out = open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int err = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (in < 0 || out < 0 || err < 0) _exit(127);
  dup2(in, 0);
  dup2(out, 1);
  dup2(err, 2);
  if (!workdir.empty() && chdir(workdir.c_str()) != 0) _exit(127);
  execv(args[0], args.data());
  _exit(127);
}

}  // namespace

bool waitFor(const std::function<bool()>& cond, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (cond()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

bool processExists(pid_t pid) { return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM); }

RunResult runProgram(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                     const std::string& workdir) {
  TempDir tmp;
  RunResult r;
  Background(argv, tmp.file("out"), tmp.file("err"), workdir).wait(timeout, &r.status);
  r.out = readFile(tmp.file("out"));
  r.err = readFile(tmp.file("err"));
  return r;
}

Background::Background(const std::vector<std::string>& argv, const std::string& out_file,
                       const std::string& err_file, const std::string& workdir)
    : pid_(spawn(argv, out_file, err_file, workdir)) {}

Background::~Background() {
  if (pid_ > 0 && !reaped_) {
    kill(-pid_, SIGKILL);
    kill(pid_, SIGKILL);
    int st;
    while (waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
    }
  }
}

bool Background::signal(int signo) { return pid_ > 0 && !reaped_ && kill(pid_, signo) == 0; }

bool Background::running() {
  if (pid_ <= 0 || reaped_) return false;
  pid_t rc = waitpid(pid_, &raw_status_, WNOHANG);
  if (rc == pid_) reaped_ = true;
  return !reaped_;
}

bool Background::wait(std::chrono::milliseconds timeout, int* status) {
  if (!waitFor([this] { return !running(); }, timeout)) return false;
  *status = WIFEXITED(raw_status_) ? WEXITSTATUS(raw_status_) : -1;
  return true;
}

}  // namespace kztest
