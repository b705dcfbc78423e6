// End-to-end tests of the command line: the real binary, its output and its
// exit status.
#include <gtest/gtest.h>

#include "tests/support/process_runner.h"
#include "tests/support/sandbox.h"

namespace {

using kztest::runProgram;

const std::string kBinary = KZ_MONITOR_BINARY;

std::string expectedVersionLine() {
#if defined(__linux__)
  return "korza-monitor for Linux, version 6.0.0.201105110\n";
#elif defined(__FreeBSD__)
  return "korza-monitor for FreeBSD, version 6.0.0.201105110\n";
#else
  return "";
#endif
}

TEST(CommandLine, VersionLine) {
  for (const char* opt : {"-v", "--version"}) {
    auto r = runProgram({kBinary, opt});
    EXPECT_EQ(r.status, 0) << opt;
    EXPECT_EQ(r.out, expectedVersionLine()) << opt;
    EXPECT_EQ(r.err, "") << opt;
  }
}

TEST(CommandLine, HelpTableListsEveryOption) {
  auto r = runProgram({kBinary, "-h"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out.rfind("Use: korza-monitor [OPTION]:\n", 0), 0u) << r.out;
  for (const char* text :
       {"-h [ --help ]", "display this message", "-v [ --version ]", "display version",
        "-u [ --update ]", "use update mode", "-C [ --check-only ]",
        "perform configuration check and exit", "-A [ --check-all ]",
        "perform configuration for all", "components and exit", "-r [ --run ] arg",
        "run applications (POSTD,ICAP - without", "space)", "-c [ --conf ] arg",
        "(=/usr/local/etc/korza/monitor.conf)", "use config file"}) {
    EXPECT_NE(r.out.find(text), std::string::npos) << text << "\n" << r.out;
  }
}

TEST(CommandLine, HelpWinsOverVersion) {
  auto help = runProgram({kBinary, "--help"});
  for (const auto& args : std::vector<std::vector<std::string>>{
           {kBinary, "-h", "-v"}, {kBinary, "-v", "-h"}, {kBinary, "-hv"}}) {
    auto r = runProgram(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, help.out);
    EXPECT_EQ(r.out.find("version 6.0.0"), std::string::npos);
  }
}

TEST(CommandLine, BadOptionsEndWithStatusSixAndTwoLines) {
  kztest::TempDir dir;
  // The log would go to the system log; make sure no log file appears in the
  // working directory either.
  struct Case {
    std::vector<std::string> args;
    std::string first_line;
  };
  const std::vector<Case> cases = {
      {{kBinary, "--bogus"}, "korza-monitor: unrecognised option '--bogus'\n"},
      {{kBinary, "-x"}, "korza-monitor: unrecognised option '-x'\n"},
      {{kBinary, "-c"}, "korza-monitor: the required argument for option '--conf' is missing\n"},
      {{kBinary, "--run"}, "korza-monitor: the required argument for option '--run' is missing\n"},
      {{kBinary, "--help=yes"}, ""},
  };
  for (const auto& c : cases) {
    auto r = runProgram(c.args, std::chrono::seconds(30), dir.path());
    EXPECT_EQ(r.status, 6) << c.args[1];
    EXPECT_EQ(r.out, "") << c.args[1];
    const std::string tail = "Try 'korza-monitor --help' for more options\n";
    EXPECT_EQ(kztest::countOf(r.err, "\n"), 2u) << r.err;
    EXPECT_EQ(r.err.rfind("korza-monitor: ", 0), 0u) << r.err;
    ASSERT_GE(r.err.size(), tail.size());
    EXPECT_EQ(r.err.substr(r.err.size() - tail.size()), tail);
    if (!c.first_line.empty()) {
      EXPECT_EQ(r.err, c.first_line + tail);
    }
  }
}

}  // namespace
