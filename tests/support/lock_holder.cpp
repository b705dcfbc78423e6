#include "tests/support/lock_holder.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/utils.h"

namespace kztest {

namespace {

const char* g_hups_file = nullptr;

void recordHup(int) {
  int fd = open(g_hups_file, O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd >= 0) {
    if (write(fd, "H", 1) < 0) _exit(5);
    close(fd);
  }
}

}  // namespace

LockHolder::LockHolder(const std::string& dir, const std::string& name,
                       const std::string& hups_file) {
  int ready[2];
  int release[2];
  if (pipe(ready) != 0 || pipe(release) != 0) abort();
  const std::string hups = hups_file;
  pid_ = fork();
  if (pid_ < 0) abort();
  if (pid_ == 0) {
    close(ready[0]);
    close(release[1]);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    g_hups_file = hups.c_str();
    sa.sa_handler = recordHup;
    sigaction(SIGHUP, &sa, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    const std::string path = dir + name + "." + std::to_string(getpid()) + ".hup";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
    if (fd < 0 || !Utils::tryWriteLock(fd)) _exit(2);
    if (write(ready[1], "r", 1) != 1) _exit(3);
    char c;
    while (read(release[0], &c, 1) < 0 && errno == EINTR) {
    }
    _exit(0);
  }
  path_ = dir + name + "." + std::to_string(pid_) + ".hup";
  close(ready[1]);
  close(release[0]);
  release_ = release[1];
  char c;
  if (read(ready[0], &c, 1) != 1) abort();
  close(ready[0]);
}

LockHolder::~LockHolder() {
  close(release_);
  if (pid_ > 0) {
    int st;
    while (waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
    }
  }
}

}  // namespace kztest
