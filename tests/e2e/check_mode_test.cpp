// End-to-end tests of check-only mode (-C): the real binary reads the
// configuration and the ".mmc" files, verifies the run list and prints its
// verdict.
#include <gtest/gtest.h>

#include <map>

#include "tests/support/daemon_sandbox.h"

namespace {

const std::string kExamples = std::string(KZ_SOURCE_DIR) + "/examples";

class CheckMode : public ::testing::Test {
 protected:
  kztest::RunResult check(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"-C", "-c", sb_.confFile()};
    args.insert(args.end(), extra.begin(), extra.end());
    return sb_.run(args);
  }
  // Writes the ".mmc" files into the sandbox's meta-configuration directory.
  void writeMeta(const std::map<std::string, std::string>& files) {
    for (const auto& f : files) kztest::writeFile(sb_.metaDir() + f.first, f.second);
  }

  kztest::DaemonSandbox sb_;
};

// The shipped example, with its log and catalogue in the sandbox. Its
// "korza" account may not exist here: handing the log file to it is then
// logged, which does not fail the check.
TEST_F(CheckMode, ExampleConfigurationPasses) {
  std::string conf = kztest::readFile(kExamples + "/monitor.conf");
  conf.replace(conf.find("syslog"), 6, sb_.logFile());
  conf.replace(conf.find("/etc/korza/monitor.meta/"), 24, kExamples);
  kztest::writeFile(sb_.confFile(), conf);
  for (const auto& extra : std::vector<std::vector<std::string>>{{}, {"-r", "agent,ICAP"}}) {
    auto r = check(extra);
    EXPECT_EQ(r.status, 0);
    ASSERT_GE(r.out.size(), 11u) << r.out;
    EXPECT_EQ(r.out.substr(r.out.size() - 11), "Options OK\n") << r.out;
    EXPECT_EQ(r.err, "");
  }
}

// A missing file or a missing required key ends with status 8; a wrong or
// missing optional value is a warning, and the verdict is an error.
TEST_F(CheckMode, ErrorsAndWarnings) {
  const std::string drop = "<drop>";
  struct Case {
    std::string key, value;
    int status;
    std::string err, report;
  } cases[] = {
      {"", "", 8, "program create error: config file \"" + sb_.confFile() + "\" not found.\n",
       "ERROR program create error: config file \""},
      {"Monitor/RecoveryTimeList", drop, 8,
       "program create error: undefined parameter \"/Monitor/RecoveryTimeList\" in config file\n",
       "ERROR program create error: undefined parameter"},
      {"Logging/Level", "Verbose", 0, "",
       "WARN value of parameter \"/Logging/Level\" is wrong. Using default value \"Info\""},
      {"Monitor/RunAppList", "", 0, "",
       "WARN value of parameter \"/Monitor/RunAppList\" is empty. Using default value \"AGENT\""},
      {"Monitor/User", drop, 0, "",
       "WARN undefined parameter \"/Monitor/User\" in config file. Used value \"\""},
      {"Monitor/Timeout", "0", 0, "",
       "WARN wrong parameter \"/Monitor/Timeout\": parameter must be inside the interval [ 1, "
       "3600 ]. Used default value 30"},
  };
  for (const auto& c : cases) {
    const auto settings = sb_.settings;
    if (c.value == drop) sb_.settings.erase(c.key);
    if (c.value != drop) sb_.settings[c.key] = c.value;
    if (!c.key.empty()) sb_.writeConf();
    auto r = check();
    sb_.settings = settings;
    EXPECT_EQ(r.status, c.status) << c.report;
    EXPECT_EQ(r.err, c.err + "Options ERROR\n") << c.report;
    EXPECT_THAT(r.out, HasSubstr(" monitor " + c.report));
  }
}

TEST_F(CheckMode, RunListVerificationFailures) {
  writeMeta({{"a.mmc", "APPLICATION A\nDEPENDS B\nENDAPPLICATION\n"},
             {"b.mmc", "APPLICATION B\nDEPENDS A\nENDAPPLICATION\nAPPLICATION C\nENDAPPLICATION\n"},
             {"d.mmc", "APPLICATION D\nDEPENDS C, E\nENDAPPLICATION\n"}});
  sb_.settings["Monitor/RunAppList"] = "A";
  sb_.writeConf();
  struct Case {
    std::vector<std::string> args;
    std::string error;
  } cases[] = {
      {{"-r", "C,NOPE"}, "cannot find application \"NOPE\" in *.mmc files"},
      {{"-r", "C"}, "application \"D\", unknown depends \"E\""},
  };
  for (const auto& c : cases) {
    auto r = check(c.args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Options ERROR\n");
    EXPECT_THAT(r.out, HasSubstr(" monitor ERROR dependences verification error: " + c.error));
  }
  writeMeta({{"d.mmc", "APPLICATION D\nENDAPPLICATION\n"}});
  auto r = check();
  EXPECT_EQ(r.err, "Options ERROR\n");
  const std::string line = "dependences verification error: interdependence: A -> B -> B";
  EXPECT_THAT(r.out, HasSubstr(" monitor ERROR " + line));
  // The configured log file gets the same line.
  EXPECT_THAT(sb_.log(), HasSubstr(line));
  EXPECT_EQ(check({"-r", "c"}).out, "Options OK\n");
}

TEST_F(CheckMode, BrokenMetaFileReportsEveryErrorAndEndsWithStatusEight) {
  writeMeta({{"bad.mmc",
              "APPLICATION Two Words\n"
              "COMPONENTS\n"
              "prog - x 30 LOG root\n"
              "prog - 30 30 LOG a:b:c\n"
              "ENDCOMPONENTS\n"
              "ENDAPPLICATION\n"}});
  sb_.writeConf();
  auto r = check();
  const std::string file = sb_.metaDir() + "bad.mmc";
  EXPECT_EQ(r.status, 8);
  EXPECT_EQ(r.err, "program create error: error in *.mmc file \"" + file + "\"\nOptions ERROR\n");
  const std::string at = " monitor ERROR config file \"" + file + "\":";
  for (const char* error : {"1:invalid syntax: application name must bee without spaces",
                            "3:error component parametr TimeStart string 'x'",
                            "4:error component parametr User. Use USER:GROUP"}) {
    EXPECT_THAT(r.out, HasSubstr(at + error));
  }
}

}  // namespace
