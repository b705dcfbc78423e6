// Helpers for the IPC tests: the IPC log goes to a file at debug level for
// the whole test program, and LogCapture reads what was written since it was
// made. Also a server session served by threads with a client session on it.
// Brings in what every IPC test uses: the exceptions, the channel factory and
// the waiting helpers.
#ifndef KORZA_TESTS_IPC_IPC_TEST_SUPPORT_H_
#define KORZA_TESTS_IPC_IPC_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/kz_exception.h"
#include "ipc/kz_factory.h"
#include "ipc/kz_session.h"
#include "tests/support/process_runner.h"
#include "tests/support/sandbox.h"

namespace kztest {

class LogCapture {
 public:
  LogCapture();
  // Everything logged since construction.
  std::string text() const;
  bool contains(const std::string& needle) const {
    return text().find(needle) != std::string::npos;
  }

 private:
  size_t start_;
};

std::string bytes(std::initializer_list<int> list);

// A server session at a socket in a temporary directory, served by threads
// until the fixture ends, and a client session opened on it.
class SessionFixture : public ::testing::Test {
 protected:
  void serve(const std::vector<std::shared_ptr<korza::ipc::KzServerProtocol>>& protocols,
             const std::shared_ptr<korza::ipc::KzServerProtocol>& fixed = nullptr, int threads = 1);
  void openClient(uint32_t min = 0, uint32_t max = 4);
  void TearDown() override;
  std::string spec() const { return "local:" + dir_.file("s"); }
  // A raw client connected to the server, having sent `bytes`.
  korza::ipc::KzIpcPtr rawClient(const std::string& bytes);
  std::shared_ptr<korza::ipc::KzPersistentServerPoolManager> serverPool() const;

  TempDir dir_;
  std::shared_ptr<korza::ipc::KzPersistentClientPoolManager> client_pool_;
  std::unique_ptr<korza::ipc::KzServerSession> server_;
  std::unique_ptr<korza::ipc::KzClientSession> client_;
  uint32_t max_connections_ = 16;       // of the server pool
  korza::ipc::KzRequestFilter filter_;  // what the serving threads take
  std::atomic<bool> stop_{false};
  std::vector<std::thread> serving_;
};

}  // namespace kztest

#endif  // KORZA_TESTS_IPC_IPC_TEST_SUPPORT_H_
