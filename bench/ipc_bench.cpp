// Request/response round trips through a client session and a server
// session over a Unix socket, next to a raw Unix-socket ping-pong of the
// same bytes, measured in the same run. The ratio of the two rates is the
// cost of the session layer (pools, maintenance threads, DDP units).
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "ipc/kz_session.h"

namespace {

using namespace korza::ipc;
using korza::base::KzTimeout;

const uint32_t kProtocol = 8206;
const std::string kPayload(64, 'p');

// A fresh directory for one socket, removed with it.
class SocketDir {
 public:
  SocketDir() {
    char tmpl[] = "/tmp/kzbench.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp");
    dir_ = tmpl;
  }
  ~SocketDir() {
    unlink(path().c_str());
    rmdir(dir_.c_str());
  }
  std::string path() const { return dir_ + "/s"; }

 private:
  std::string dir_;
};

// The bytes a session exchange puts on the wire: the identifier and a
// string one way, the string and its length back.
std::string requestBytes() {
  KzDdpUnit unit;
  unit.AddInt32(static_cast<int32_t>(kProtocol));
  unit.AddString(kPayload);
  return unit.GetData();
}

std::string responseBytes() {
  KzDdpUnit unit;
  unit.AddString(kPayload);
  unit.AddInt32(static_cast<int32_t>(kPayload.size()));
  return unit.GetData();
}

bool readFully(int fd, char* p, size_t n) {
  while (n > 0) {
    const ssize_t r = read(fd, p, n);
    if (r <= 0) {
      if (r < 0 && errno == EINTR) continue;
      return false;
    }
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

bool writeFully(int fd, const char* p, size_t n) {
  while (n > 0) {
    const ssize_t r = write(fd, p, n);
    if (r < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

void BM_RawUnixPingPong(benchmark::State& state) {
  SocketDir dir;
  const std::string request = requestBytes();
  const std::string response = responseBytes();
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, dir.path().c_str(), sizeof addr.sun_path - 1);
  const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listener, 1) != 0) {
    state.SkipWithError("bind/listen failed");
    close(listener);
    return;
  }
  std::thread server([&] {
    const int fd = accept(listener, nullptr, nullptr);
    std::string buf(request.size(), '\0');
    while (readFully(fd, &buf[0], buf.size()) && writeFully(fd, response.data(), response.size())) {
    }
    close(fd);
  });
  const int client = socket(AF_UNIX, SOCK_STREAM, 0);
  if (connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    state.SkipWithError("connect failed");
  }
  std::string buf(response.size(), '\0');
  for (auto _ : state) {
    if (!writeFully(client, request.data(), request.size()) ||
        !readFully(client, &buf[0], buf.size())) {
      state.SkipWithError("ping-pong failed");
      break;
    }
  }
  close(client);
  server.join();
  close(listener);
  state.counters["round_trips"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RawUnixPingPong)->UseRealTime();

void BM_SessionRoundTrip(benchmark::State& state) {
  SocketDir dir;
  const std::string spec = "local:" + dir.path();
  auto server_pool = std::make_shared<KzPersistentServerPoolManager>(ConnSettings(0, 8));
  KzServerSession server(server_pool);
  server.Register(
      std::make_shared<KzFunctionServerProtocol>(kProtocol, [](KzPDU& request, KzPDU& response) {
        const std::string text = request.GetString();
        response.AddString(text);
        response.AddInt32(static_cast<int32_t>(text.size()));
        return true;
      }));
  server.Open(spec);
  std::atomic<bool> stop{false};
  std::thread serving([&] {
    while (!stop) server.Execute(KzTimeout(100u));
  });
  auto client_pool = std::make_shared<KzPersistentClientPoolManager>(ConnSettings(0, 1));
  KzClientSession client(client_pool);
  client.Open(spec);
  std::string answer;
  auto call = std::make_shared<KzFunctionClientProtocol>(
      kProtocol, [](KzPDU& request) { return request.AddString(kPayload); },
      [&answer](KzPDU& response) {
        answer = response.GetString();
        return response.GetInt32() == static_cast<int32_t>(answer.size());
      });
  for (auto _ : state) {
    if (!client.process(call, KzTimeout(5000u))) {
      state.SkipWithError("session call failed");
      break;
    }
  }
  stop = true;
  serving.join();
  state.counters["round_trips"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SessionRoundTrip)->UseRealTime();

}  // namespace
