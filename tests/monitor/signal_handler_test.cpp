#include "monitor/signal_handler.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

#include "tests/support/sandbox.h"

namespace {

struct Recorder : SignalExecutor {
  std::vector<std::string> calls;
  void reload(int, const std::string& name) override { calls.push_back("reload " + name); }
  void terminate(int, const std::string& name) override { calls.push_back("terminate " + name); }
  void inform(int, const std::string& name) override { calls.push_back("inform " + name); }
};

// The wait loop runs in a forked child so that blocking signals and
// installing handlers do not touch the test process.
TEST(SignalHandler, ProcessorsForwardAndOnlyTerminateEndsTheWait) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(fds[0]);
    Recorder rec;
    SignalHandler handler;
    handler.addProcessor(SIGCHLD, std::make_unique<InformProcessor>(&rec, "SIGCHLD"));
    handler.addProcessor(SIGTERM, std::make_unique<TerminateProcessor>(&rec, "SIGTERM"));
    handler.addProcessor(SIGHUP, std::make_unique<ReloadProcessor>(&rec, "SIGHUP"));
    try {
      handler.addProcessor(SIGHUP, std::make_unique<ReloadProcessor>(&rec, "SIGHUP"));
      _exit(13);
    } catch (const SignalHandler::error& e) {
      if (std::string(e.what()) != "cannot add processor for signal 1: processor already added") {
        _exit(14);
      }
    }
    handler.start();
    // SIGPIPE must not kill the process: a write to a closed pipe fails.
    int p[2];
    if (pipe(p) != 0) _exit(10);
    close(p[0]);
    if (write(p[1], "x", 1) != -1 || errno != EPIPE) _exit(11);
    kill(getpid(), SIGHUP);
    kill(getpid(), SIGCHLD);
    kill(getpid(), SIGTERM);
    handler.waitSignals();
    std::string all;
    for (const auto& c : rec.calls) all += c + ";";
    if (write(fds[1], all.data(), all.size()) < 0) _exit(12);
    _exit(0);
  }
  close(fds[1]);
  std::string got;
  char buf[256];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int st = 0;
  ASSERT_EQ(waitpid(child, &st, 0), child);
  ASSERT_TRUE(WIFEXITED(st)) << "child killed by signal " << WTERMSIG(st);
  EXPECT_EQ(WEXITSTATUS(st), 0);
  // The order in which pending signals are collected is the system's; the
  // loop must have forwarded SIGHUP and ended with SIGTERM.
  EXPECT_THAT(got, HasSubstr("reload SIGHUP;")) << got;
  const std::string last = "terminate SIGTERM;";
  ASSERT_GE(got.size(), last.size());
  EXPECT_EQ(got.substr(got.size() - last.size()), last) << got;
}

}  // namespace
