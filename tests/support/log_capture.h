// Sends the monitor's log to a file of a temporary directory for the
// lifetime of the object, so that tests can assert on the lines written.
#ifndef KORZA_TESTS_SUPPORT_LOG_CAPTURE_H_
#define KORZA_TESTS_SUPPORT_LOG_CAPTURE_H_

#include <sstream>
#include <string>
#include <vector>

#include "base/flags.h"
#include "base/log.h"
#include "tests/support/sandbox.h"

class LogCapture {
 public:
  LogCapture() {
    korza::monitorLog().init(path_, "debug", "daemon", false);
    conf_warning_issued = false;
  }
  ~LogCapture() {
    korza::LogClass::closeFile();
    korza::monitorLog().setLevel(korza::kLogInfo);
    conf_warning_issued = false;
  }
  const std::string& path() const { return path_; }

  // Everything written so far.
  std::string text() const {
    korza::LogClass::flush();
    return kztest::readFile(path_);
  }

  // Every line written so far as severity text and message ("WARN text").
  std::vector<std::string> lines() const {
    std::istringstream in(text());
    std::vector<std::string> out;
    const std::string marker = "] monitor ";
    for (std::string line; std::getline(in, line);) {
      const size_t at = line.find(marker);
      out.push_back(at == std::string::npos ? line : line.substr(at + marker.size()));
    }
    return out;
  }

  // The lines of one severity ("WARN", "ERROR", "INFO", "DEBUG"), messages only.
  std::vector<std::string> messages(const std::string& severity) const {
    std::vector<std::string> out;
    for (const auto& line : lines()) {
      if (line.compare(0, severity.size() + 1, severity + " ") == 0) {
        out.push_back(line.substr(severity.size() + 1));
      }
    }
    return out;
  }

 private:
  kztest::TempDir dir_;
  std::string path_ = dir_.file("monitor.log");
};

#endif  // KORZA_TESTS_SUPPORT_LOG_CAPTURE_H_
