// Reading a child's check-mode report line by line, every read bounded by
// one shared time budget. io.cpp also holds the component's check-mode run
// (Component::startCheckOnly), which copies that report to standard error.
//
// Thread safety: no shared state.
#ifndef KORZA_APPS_IO_H_
#define KORZA_APPS_IO_H_

#include <stdexcept>
#include <string>

namespace IO {

class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& what) : std::runtime_error(what) {}
};
// The wait itself failed.
class Error : public Exception {
 public:
  explicit Error(const std::string& what) : Exception(what) {}
};
// Nothing arrived within the budget.
class TimeoutException : public Exception {
 public:
  explicit TimeoutException(const std::string& what) : Exception(what) {}
};

// Waits until `fd` is readable; the time spent is taken off `budget_us`
// (never below zero; zero after a time-out). Throws TimeoutException or
// Error. With `drain` pointing to a descriptor, that one is read and its
// bytes dropped meanwhile; it is set to -1 at its end.
void wait_for_read(int fd, long long& budget_us, int* drain = nullptr);

// Appends the bytes of one line to `line`. Returns true when the line ended
// with a newline (more input follows), false at end of input or when another
// control character ended it. Throws as wait_for_read, and
// std::runtime_error "IO::readLine: read error: TEXT".
bool readLine(int fd, long long& budget_us, std::string& line, int* drain = nullptr);

}  // namespace IO

#endif  // KORZA_APPS_IO_H_
