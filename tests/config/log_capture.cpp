#include "tests/config/log_capture.h"

#include <sstream>

#include "base/flags.h"
#include "base/log.h"

LogCapture::LogCapture() : path_(dir_.file("monitor.log")) {
  korza::monitorLog().init(path_, "debug", "daemon", false);
  conf_warning_issued = false;
}

LogCapture::~LogCapture() {
  korza::LogClass::closeFile();
  korza::monitorLog().setLevel(korza::kLogInfo);
  conf_warning_issued = false;
}

std::vector<std::string> LogCapture::lines() const {
  korza::LogClass::flush();
  std::istringstream in(kztest::readFile(path_));
  std::vector<std::string> out;
  const std::string marker = "] monitor ";
  for (std::string line; std::getline(in, line);) {
    size_t at = line.find(marker);
    out.push_back(at == std::string::npos ? line : line.substr(at + marker.size()));
  }
  return out;
}

std::vector<std::string> LogCapture::messages(const std::string& severity) const {
  std::vector<std::string> out;
  for (const auto& line : lines()) {
    if (line.compare(0, severity.size() + 1, severity + " ") == 0) {
      out.push_back(line.substr(severity.size() + 1));
    }
  }
  return out;
}
