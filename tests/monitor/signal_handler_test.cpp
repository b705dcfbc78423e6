#include "monitor/signal_handler.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "tests/support/sandbox.h"

namespace {

struct Recorder : SignalExecutor {
  std::vector<std::string> calls;
  void reload(int, const std::string& name) override { calls.push_back("reload " + name); }
  void terminate(int, const std::string& name) override { calls.push_back("terminate " + name); }
  void inform(int, const std::string& name) override { calls.push_back("inform " + name); }
};

// The wait loop runs in a child of its own (a death test) so that blocking
// signals and installing handlers do not touch the test process. The child
// prints the refusal of a second processor, what a write to a closed pipe
// gave, and the calls in order: the order in which pending signals are
// collected is the system's, but SIGHUP must be forwarded and SIGTERM must
// end the wait.
TEST(SignalHandler, ProcessorsForwardAndOnlyTerminateEndsTheWait) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        Recorder rec;
        SignalHandler handler;
        handler.addProcessor(SIGCHLD, std::make_unique<InformProcessor>(&rec, "SIGCHLD"));
        handler.addProcessor(SIGTERM, std::make_unique<TerminateProcessor>(&rec, "SIGTERM"));
        handler.addProcessor(SIGHUP, std::make_unique<ReloadProcessor>(&rec, "SIGHUP"));
        std::string seen = kztest::errorOf<SignalHandler::error>([&] {
          handler.addProcessor(SIGHUP, std::make_unique<ReloadProcessor>(&rec, "SIGHUP"));
        });
        handler.start();
        int p[2];
        if (pipe(p) != 0) _exit(10);
        close(p[0]);
        seen += write(p[1], "x", 1) == -1 && errno == EPIPE ? "|EPIPE|" : "|no EPIPE|";
        kill(getpid(), SIGHUP);
        kill(getpid(), SIGCHLD);
        kill(getpid(), SIGTERM);
        handler.waitSignals();
        for (const auto& c : rec.calls) seen += c + ";";
        fprintf(stderr, "%s\n", seen.c_str());
        _exit(0);
      },
      ::testing::ExitedWithCode(0),
      "cannot add processor for signal 1: processor already added\\|EPIPE\\|"
      "[^\n]*reload SIGHUP;[^\n]*terminate SIGTERM;\n");
}

}  // namespace
