// Sends the monitor's log to a file of a temporary directory for the
// lifetime of the object, so that tests can assert on the lines written.
#ifndef KORZA_TESTS_CONFIG_LOG_CAPTURE_H_
#define KORZA_TESTS_CONFIG_LOG_CAPTURE_H_

#include <string>
#include <vector>

#include "tests/support/sandbox.h"

class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  const std::string& path() const { return path_; }
  // Every line written so far as severity text and message ("WARN text").
  std::vector<std::string> lines() const;
  // The lines of one severity ("WARN", "ERROR", "INFO", "DEBUG"), messages only.
  std::vector<std::string> messages(const std::string& severity) const;

 private:
  kztest::TempDir dir_;
  std::string path_;
};

#endif  // KORZA_TESTS_CONFIG_LOG_CAPTURE_H_
