// End-to-end tests of check-only mode (-C): the real binary reads the
// configuration and the ".mmc" files, verifies the run list and prints its
// verdict.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <sstream>

#include "tests/support/process_runner.h"
#include "tests/support/sandbox.h"

namespace {

using kztest::runProgram;

const std::string kBinary = KZ_MONITOR_BINARY;
const std::string kExamples = std::string(KZ_SOURCE_DIR) + "/examples";
const char* const kDrop = "<drop>";

class CheckMode : public ::testing::Test {
 protected:
  // Writes the example configuration with its log going to the sandbox and
  // the given keys replaced ("Key" -> "Key = value", or kDrop to remove).
  std::string writeConf(std::map<std::string, std::string> overrides = {}) {
    overrides.emplace("FileName", "FileName = " + log());
    overrides.emplace("MetaConfigDir", "MetaConfigDir = " + kExamples);
    std::istringstream in(kztest::readFile(kExamples + "/monitor.conf"));
    std::string out;
    bool skipping = false;
    for (std::string line; std::getline(in, line);) {
      const bool continued = !line.empty() && line.back() == '\\';
      if (skipping) {
        skipping = continued;
        continue;
      }
      const std::string key = line.substr(0, line.find(" ="));
      auto it = overrides.find(key);
      if (it != overrides.end() && line.find(" =") != std::string::npos) {
        if (it->second != kDrop) out += it->second + "\n";
        skipping = continued;
        continue;
      }
      out += line + "\n";
    }
    kztest::writeFile(conf(), out);
    return conf();
  }
  kztest::RunResult check(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {kBinary, "-C", "-c", conf()};
    args.insert(args.end(), extra.begin(), extra.end());
    return runProgram(args, std::chrono::seconds(30), dir_.path());
  }
  std::string conf() const { return dir_.file("monitor.conf"); }
  std::string log() const { return dir_.file("monitor.log"); }
  std::string meta() const { return dir_.file("meta"); }
  // A meta-configuration directory of the sandbox with these files.
  void writeMeta(const std::map<std::string, std::string>& files) {
    mkdir(meta().c_str(), 0755);
    for (const auto& f : files) kztest::writeFile(meta() + "/" + f.first, f.second);
  }

  kztest::TempDir dir_;
};

bool contains(const std::string& hay, const std::string& needle) {
  return hay.find(needle) != std::string::npos;
}

TEST_F(CheckMode, ExampleConfigurationPasses) {
  writeConf();
  for (const auto& extra : std::vector<std::vector<std::string>>{{}, {"-r", "agent,ICAP"}}) {
    auto r = check(extra);
    EXPECT_EQ(r.status, 0);
    // The example's "korza" account may not exist here: handing the log
    // file to it is then logged, which does not fail the check.
    const std::string ok = "Options OK\n";
    ASSERT_GE(r.out.size(), ok.size()) << r.out;
    EXPECT_EQ(r.out.substr(r.out.size() - ok.size()), ok) << r.out;
    EXPECT_EQ(r.err, "");
  }
}

// A missing file or a missing required key ends with status 8; a wrong or
// missing optional value is a warning, and the verdict is an error.
TEST_F(CheckMode, ErrorsAndWarnings) {
  struct Case {
    std::map<std::string, std::string> overrides;
    int status;
    std::string err, report;
  } cases[] = {
      {{},
       8,
       "program create error: config file \"" + conf() + "\" not found.\n",
       "ERROR program create error: config file \""},
      {{{"RecoveryTimeList", kDrop}},
       8,
       "program create error: undefined parameter \"/Monitor/RecoveryTimeList\" in config file\n",
       "ERROR program create error: undefined parameter"},
      {{{"Level", "Level = Verbose"}},
       0,
       "",
       "WARN value of parameter \"/Logging/Level\" is wrong. Using default value \"Info\""},
      {{{"RunAppList", "RunAppList ="}},
       0,
       "",
       "WARN value of parameter \"/Monitor/RunAppList\" is empty. Using default value \"AGENT\""},
      {{{"User", kDrop}},
       0,
       "",
       "WARN undefined parameter \"/Monitor/User\" in config file. Used value \"\""},
      {{{"Timeout", "Timeout = 0"}},
       0,
       "",
       "WARN wrong parameter \"/Monitor/Timeout\": parameter must be inside the interval [ 1, "
       "3600 ]. Used default value 30"},
  };
  for (const auto& c : cases) {
    if (c.status == 0 || !c.overrides.empty()) writeConf(c.overrides);
    auto r = check();
    EXPECT_EQ(r.status, c.status) << c.report;
    EXPECT_EQ(r.err, c.err + "Options ERROR\n") << c.report;
    EXPECT_TRUE(contains(r.out, " monitor " + c.report)) << r.out;
  }
}

TEST_F(CheckMode, RunListVerificationFailures) {
  writeMeta({{"a.mmc", "APPLICATION A\nDEPENDS B\nENDAPPLICATION\n"},
             {"b.mmc", "APPLICATION B\nDEPENDS A\nENDAPPLICATION\nAPPLICATION C\nENDAPPLICATION\n"},
             {"d.mmc", "APPLICATION D\nDEPENDS C, E\nENDAPPLICATION\n"}});
  writeConf({{"MetaConfigDir", "MetaConfigDir = " + meta()}, {"RunAppList", "RunAppList = A"}});
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
    EXPECT_TRUE(contains(r.out, " monitor ERROR dependences verification error: " + c.error))
        << r.out;
  }
  writeMeta({{"d.mmc", "APPLICATION D\nENDAPPLICATION\n"}});
  auto r = check();
  EXPECT_EQ(r.err, "Options ERROR\n");
  const std::string line = "dependences verification error: interdependence: A -> B -> B";
  EXPECT_TRUE(contains(r.out, " monitor ERROR " + line)) << r.out;
  // The configured log file gets the same line.
  EXPECT_TRUE(contains(kztest::readFile(log()), line));
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
  writeConf({{"MetaConfigDir", "MetaConfigDir = " + meta()}});
  auto r = check();
  const std::string file = meta() + "/bad.mmc";
  EXPECT_EQ(r.status, 8);
  EXPECT_EQ(r.err, "program create error: error in *.mmc file \"" + file + "\"\nOptions ERROR\n");
  const std::string at = " monitor ERROR config file \"" + file + "\":";
  for (const char* error : {"1:invalid syntax: application name must bee without spaces",
                            "3:error component parametr TimeStart string 'x'",
                            "4:error component parametr User. Use USER:GROUP"}) {
    EXPECT_TRUE(contains(r.out, at + error)) << error << "\n" << r.out;
  }
}

}  // namespace
