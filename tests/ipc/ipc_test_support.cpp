#include "tests/ipc/ipc_test_support.h"

#include <gtest/gtest.h>

#include <memory>

#include "base/log.h"
#include "tests/support/sandbox.h"

namespace kztest {

namespace {

class IpcLogEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    dir_.reset(new TempDir);
    korza::ipcLog().init(path(), "debug", "Daemon", false);
  }
  void TearDown() override {
    korza::LogClass::closeFile();
    dir_.reset();
  }
  std::string path() const { return dir_->file("ipc.log"); }

 private:
  std::unique_ptr<TempDir> dir_;
};

IpcLogEnvironment* const g_environment =
    static_cast<IpcLogEnvironment*>(::testing::AddGlobalTestEnvironment(new IpcLogEnvironment));

}  // namespace

LogCapture::LogCapture() {
  korza::LogClass::flush();
  start_ = readFile(g_environment->path()).size();
}

std::string LogCapture::text() const {
  korza::LogClass::flush();
  const std::string all = readFile(g_environment->path());
  return all.size() > start_ ? all.substr(start_) : std::string();
}

bool LogCapture::contains(const std::string& needle) const {
  return text().find(needle) != std::string::npos;
}

}  // namespace kztest
