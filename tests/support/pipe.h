// A pipe for tests: both ends closed when it goes, either one earlier.
#ifndef KORZA_TESTS_SUPPORT_PIPE_H_
#define KORZA_TESTS_SUPPORT_PIPE_H_

#include <gtest/gtest.h>
#include <unistd.h>

namespace kztest {

struct Pipe {
  Pipe() { EXPECT_EQ(pipe(fds), 0); }
  ~Pipe() {
    closeEnd(0);
    closeEnd(1);
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  void closeEnd(int i) {
    if (fds[i] >= 0) close(fds[i]);
    fds[i] = -1;
  }
  int fds[2];
};

}  // namespace kztest

#endif  // KORZA_TESTS_SUPPORT_PIPE_H_
