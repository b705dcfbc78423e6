// Helpers for the IPC tests: the IPC log goes to a file at debug level for
// the whole test program, and LogCapture reads what was written since it was
// made. Also a loopback server thread bounded in time.
#ifndef KORZA_TESTS_IPC_IPC_TEST_SUPPORT_H_
#define KORZA_TESTS_IPC_IPC_TEST_SUPPORT_H_

#include <string>

namespace kztest {

class LogCapture {
 public:
  LogCapture();
  // Everything logged since construction.
  std::string text() const;
  bool contains(const std::string& needle) const;

 private:
  size_t start_;
};

}  // namespace kztest

#endif  // KORZA_TESTS_IPC_IPC_TEST_SUPPORT_H_
