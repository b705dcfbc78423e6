// End-to-end tests of the control server against clients that misbehave:
// slow, silent, too many, or more than the daemon has descriptors for. The
// attacks that need no privilege run as the unprivileged account "nobody"
// over a loopback TCP address.
#include <arpa/inet.h>
#include <dirent.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/daemon_sandbox.h"

namespace {

using kztest::DaemonSandbox;
using kztest::RunResult;

const std::string kCtl = KZ_BIN_DIR "/korza-ctl";

// A status request (protocol 8300, format 1) as raw bytes.
const std::string kStatusRequest("\0\0\x20\x6c\0\0\0\x01", 8);

int connectUnix(const std::string& path) { return kztest::unixSocket("", false, path); }

int connectLoopback(int port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Reads `n` bytes within a few seconds; "" when they do not come.
std::string readBytes(int fd, size_t n) {
  std::string got;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (got.size() < n && std::chrono::steady_clock::now() < end) {
    char buf[64];
    const ssize_t r = recv(fd, buf, std::min(sizeof buf, n - got.size()), MSG_DONTWAIT);
    if (r > 0) {
      got.append(buf, static_cast<size_t>(r));
    } else if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
      break;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  return got;
}

size_t openDescriptors(pid_t pid) {
  size_t n = 0;
  DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (d == nullptr) return 0;
  while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
  closedir(d);
  return n;
}

// Clients run by a child process as "nobody": each connects to the
// loopback port and sends one byte; the last one then trickles a byte a
// second. Ends when killed.
class NobodyClients {
 public:
  NobodyClients(int port, int count) {
    const passwd* pw = getpwnam("nobody");
    uid_t uid = pw != nullptr ? pw->pw_uid : 65534;
    gid_t gid = pw != nullptr ? pw->pw_gid : 65534;
    pid_ = fork();
    if (pid_ != 0) return;
    if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) _exit(3);
    std::vector<int> fds;
    for (int i = 0; i < count; ++i) {
      const int fd = connectLoopback(port);
      if (fd < 0 || send(fd, "\0", 1, MSG_NOSIGNAL) != 1) _exit(4);
      fds.push_back(fd);
    }
    for (;;) {
      sleep(1);
      if (send(fds.back(), "\0", 1, MSG_NOSIGNAL) != 1) pause();
    }
  }
  ~NobodyClients() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  bool running() const { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }

 private:
  pid_t pid_ = -1;
};

class HostileClient : public ::testing::Test {
 protected:
  void startDaemon(const std::string& extra_address = std::string()) {
    sb_.addApplication({"AGENT", {}, {sb_.component("agent")}});
    sb_.settings["Monitor/RunAppList"] = "AGENT";
    if (!extra_address.empty()) {
      sb_.settings["Monitor/Address"] = socketAddress() + "," + extra_address;
    }
    sb_.startAndWait();
  }
  RunResult ctl(const std::vector<std::string>& args, const std::string& timeout = "60") {
    std::vector<std::string> argv{kCtl, "-c", sb_.confFile(), "-a", socketAddress(), "-t", timeout};
    argv.insert(argv.end(), args.begin(), args.end());
    return kztest::runProgram(argv, std::chrono::seconds(90));
  }
  std::string socketPath() { return sb_.runDir() + ".monitor"; }
  std::string socketAddress() { return "local:" + socketPath(); }

  DaemonSandbox sb_;
};

TEST_F(HostileClient, TricklingClientsDoNotDelayAStatusRequest) {
  const int port = kztest::freePort();
  ASSERT_GT(port, 0);
  startDaemon("inet:" + std::to_string(port) + "@127.0.0.1");
  // Three connections hold one byte each (Timeout is 30 s); one of them
  // keeps adding a byte a second.
  NobodyClients attacker(port, 3);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ASSERT_TRUE(attacker.running());
  for (int i = 0; i < 3; ++i) {
    const RunResult r = ctl({"status"});
    EXPECT_EQ(r.status, 0) << r.err;
  }
  EXPECT_EQ(sb_.stopWith(SIGTERM), 0);
}

TEST_F(HostileClient, AFullPoolKeepsACompleteRequestAndTheSocketFileGoesAtExit) {
  startDaemon();
  std::vector<int> held;
  held.reserve(64);
  for (int i = 0; i < 64; ++i) {
    const int fd = connectUnix(socketPath());
    ASSERT_GE(fd, 0);
    ASSERT_EQ(send(fd, "\0", 1, MSG_NOSIGNAL), 1);
    held.push_back(fd);
  }
  const int complete = connectUnix(socketPath());
  ASSERT_EQ(send(complete, kStatusRequest.data(), kStatusRequest.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(kStatusRequest.size()));
  const int silent = connectUnix(socketPath());
  EXPECT_EQ(readBytes(complete, 4), std::string("\0\0\0\x01", 4));
  EXPECT_EQ(ctl({"status"}).status, 0);
  for (int fd : held) close(fd);
  close(complete);
  close(silent);
  ASSERT_TRUE(kztest::fileExists(socketPath()));
  EXPECT_EQ(sb_.stopWith(SIGTERM), 0);
  EXPECT_FALSE(kztest::fileExists(socketPath()));
}

TEST_F(HostileClient, RunningOutOfDescriptorsBacksOffAndServesAgainLater) {
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizer runtime itself needs descriptors to run; with none left
  // it ends the daemon, which an uninstrumented build never does.
  GTEST_SKIP() << "not under AddressSanitizer";
#endif
  startDaemon();
  const pid_t pid = sb_.daemon().pid();
  const size_t open = openDescriptors(pid);
  ASSERT_GT(open, 0u);
  // Only the soft limit: raising a hard one back needs more than root may
  // have in a container.
  const auto setSoftLimit = [pid](rlim_t soft) {
    return system(
        ("prlimit --pid " + std::to_string(pid) + " --nofile=" + std::to_string(soft) + ":")
            .c_str());
  };
  rlimit own{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &own), 0);
  ASSERT_EQ(setSoftLimit(open + 2), 0);
  std::vector<int> clients;
  clients.reserve(8);
  for (int i = 0; i < 8; ++i) clients.push_back(connectUnix(socketPath()));
  const std::string failure = "failed: Too many open files";
  ASSERT_TRUE(sb_.waitForLog(failure)) << sb_.log();
  // Two seconds of an exhausted descriptor table: one line, not a flood.
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_EQ(kztest::countOf(sb_.log(), failure), 1u);
  for (int fd : clients) close(fd);
  ASSERT_EQ(setSoftLimit(own.rlim_cur), 0);
  const RunResult r = ctl({"status"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_LE(kztest::countOf(sb_.log(), failure), 2u);
  EXPECT_EQ(sb_.stopWith(SIGTERM), 0);
}

TEST_F(HostileClient, StatusIsAnsweredWhileAPreUpdateScriptRuns) {
  startDaemon();
  const std::string pkg = sb_.root() + "/pkg";
  const std::string started = sb_.root() + "/started";
  const std::string go = sb_.root() + "/go";
  ASSERT_EQ(system(("mkdir -p " + pkg + "/unix/scripts").c_str()), 0);
  kztest::writeFile(pkg + "/unix/scripts/pre-update.sh",
                    "touch " + started + "\nn=0\nwhile [ ! -e " + go +
                        " ] && [ $n -lt 300 ]; do sleep 0.1; n=$((n+1)); done\n");
  RunResult update;
  std::atomic<bool> answered{false};
  std::thread updater([&] {
    update = ctl({"update", pkg, "two", "20-kzrunix"});
    answered = true;
  });
  const bool running = kztest::waitFor([&] { return kztest::fileExists(started); });
  EXPECT_TRUE(running) << sb_.log();
  const RunResult status = ctl({"status"});
  EXPECT_EQ(status.status, 0) << status.err;
  // The update was still waiting for its script meanwhile.
  EXPECT_FALSE(answered);
  kztest::writeFile(go, "");
  updater.join();
  EXPECT_EQ(update.status, 0) << update.err;
  EXPECT_EQ(sb_.stopWith(SIGTERM), 0);
}

}  // namespace
