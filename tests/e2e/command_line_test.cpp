// End-to-end tests of the command line: the real binary, its output and its
// exit status.
#include <gtest/gtest.h>

#include "tests/support/process_runner.h"
#include "tests/support/sandbox.h"

namespace {

using kztest::runProgram;

const std::string kBinary = KZ_MONITOR_BINARY;

TEST(CommandLine, VersionAndHelp) {
#if defined(__linux__)
  const std::string version = "korza-monitor for Linux, version 6.0.0.201105110\n";
#else
  const std::string version = "korza-monitor for FreeBSD, version 6.0.0.201105110\n";
#endif
  for (const char* opt : {"-v", "--version"}) {
    auto r = runProgram({kBinary, opt});
    EXPECT_EQ(r.status, 0) << opt;
    EXPECT_EQ(r.out + r.err, version) << opt;
  }
  const auto help = runProgram({kBinary, "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.err, "");
  EXPECT_EQ(help.out.rfind("Use: korza-monitor [OPTION]:\n", 0), 0u) << help.out;
  for (const char* text :
       {"-h [ --help ]", "display this message", "-v [ --version ]", "display version",
        "-u [ --update ]", "use update mode", "-C [ --check-only ]",
        "perform configuration check and exit", "-A [ --check-all ]",
        "perform configuration for all", "components and exit", "-r [ --run ] arg",
        "run applications (POSTD,ICAP - without", "space)", "-c [ --conf ] arg",
        "(=/usr/local/etc/korza/monitor.conf)", "use config file"}) {
    EXPECT_THAT(help.out, HasSubstr(text));
  }
  // Help wins over version.
  for (const char* opts : {"-hv", "-vh"}) {
    auto r = runProgram({kBinary, opts});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, help.out);
  }
  EXPECT_EQ(runProgram({kBinary, "-v", "-h"}).out, help.out);
}

TEST(CommandLine, BadOptionsEndWithStatusSixAndTwoLines) {
  kztest::TempDir dir;
  const std::string tail = "Try 'korza-monitor --help' for more options\n";
  const std::pair<std::string, std::string> cases[] = {
      {"--bogus", "unrecognised option '--bogus'"},
      {"-x", "unrecognised option '-x'"},
      {"-c", "the required argument for option '--conf' is missing"},
      {"--run", "the required argument for option '--run' is missing"},
      {"--help=yes", ""},
  };
  for (const auto& c : cases) {
    auto r = runProgram({kBinary, c.first}, std::chrono::seconds(30), dir.path());
    EXPECT_EQ(r.status, 6) << c.first;
    EXPECT_EQ(r.out, "") << c.first;
    const size_t eol = r.err.find('\n');
    EXPECT_EQ(r.err.rfind("korza-monitor: " + c.second, 0), 0u) << r.err;
    EXPECT_TRUE(c.second.empty() || eol == 15 + c.second.size()) << r.err;
    EXPECT_EQ(r.err.substr(eol + 1), tail) << r.err;
  }
}

}  // namespace
