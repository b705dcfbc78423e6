#include "tests/support/sandbox.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kztest {

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  path_ = std::string(base && *base ? base : "/tmp") + "/kztest.XXXXXX";
  if (mkdtemp(&path_[0]) == nullptr) throw std::runtime_error("mkdtemp failed");
}

TempDir::~TempDir() {
  std::string cmd = "rm -rf '" + path_ + "'";
  if (system(cmd.c_str()) != 0) {
    // Nothing more to do in a destructor; the directory is under /tmp.
  }
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void writeFile(const std::string& path, const std::string& content, int mode) {
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
  }
  chmod(path.c_str(), static_cast<mode_t>(mode));
}

bool fileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

size_t countOf(const std::string& hay, const std::string& needle) {
  size_t n = 0;
  for (size_t at = 0; !needle.empty() && (at = hay.find(needle, at)) != std::string::npos;
       at += needle.size()) {
    ++n;
  }
  return n;
}

int freePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  close(fd);
  return ntohs(a.sin_port);
}

namespace {

sockaddr_un unixAddress(const std::string& path) {
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  strncpy(sa.sun_path, path.c_str(), sizeof sa.sun_path - 1);
  return sa;
}

}  // namespace

int unixSocket(const std::string& path, bool listening, const std::string& peer) {
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un sa = unixAddress(path.empty() ? peer : path);
  const auto* a = reinterpret_cast<const sockaddr*>(&sa);
  bool ok = fd >= 0;
  if (ok && !path.empty()) ok = bind(fd, a, sizeof sa) == 0 && (!listening || listen(fd, 16) == 0);
  if (ok && !peer.empty()) {
    sa = unixAddress(peer);
    ok = connect(fd, a, sizeof sa) == 0;
  }
  if (!ok && fd >= 0) close(fd);
  return ok ? fd : -1;
}

}  // namespace kztest
