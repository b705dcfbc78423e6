// A temporary directory removed with everything in it, and small file
// helpers for tests.
#ifndef KORZA_TESTS_SUPPORT_SANDBOX_H_
#define KORZA_TESTS_SUPPORT_SANDBOX_H_

#include <gmock/gmock.h>

#include <functional>
#include <string>

namespace kztest {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  // Absolute path, without a trailing "/".
  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content, int mode = 0644);
bool fileExists(const std::string& path);
// Number of occurrences of `needle` in `hay`.
size_t countOf(const std::string& hay, const std::string& needle);
// A TCP port on the loopback that nothing listens on right now (bound and
// released); -1 when none can be had.
int freePort();
// A Unix stream socket bound at `path` (and listening, never accepting,
// unless `listening` is false), or connected to `peer`; -1 when that fails.
int unixSocket(const std::string& path, bool listening = true, const std::string& peer = "");

// The text of the E that `f` throws, or "no error"; any other exception
// escapes to fail the test.
template <class E = std::exception>
std::string errorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return "no error";
}

}  // namespace kztest

// Every test checks texts for what they hold; a failure prints the whole text.
using ::testing::HasSubstr;
using ::testing::Not;

#endif  // KORZA_TESTS_SUPPORT_SANDBOX_H_
