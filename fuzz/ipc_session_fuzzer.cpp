// Feeds arbitrary bytes, as a client would send them, to a server session
// with two test protocols and the three control protocols (reload component
// 8200, update 8204, status 8300), and reads whatever the server answers.
// The first input byte picks how many connections send the rest (each all
// of it), the second seeds where each one's stream is cut into pieces; the
// pieces of all connections are sent interleaved, with the server serving
// in between. The server must neither crash, hang nor allocate what a
// hostile count announces.
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/log.h"
#include "ipc/kz_control_proto.h"
#include "ipc/kz_session.h"
#include "ipc/kz_status_proto.h"

namespace {

using namespace korza::ipc;
using korza::base::KzTimeout;

struct Server {
  std::string dir;
  std::string spec;
  std::shared_ptr<KzPersistentServerPoolManager> pool;
  std::unique_ptr<KzServerSession> session;
};

Server* g_server = nullptr;

void removeSocketDir() {
  if (g_server == nullptr) return;
  unlink((g_server->dir + "/s").c_str());
  rmdir(g_server->dir.c_str());
}

// A request of every field kind, answered in kind.
bool serveFields(KzPDU& request, KzPDU& response) {
  const int32_t n = request.GetInt32();
  const int64_t big = request.GetInt64();
  const bool flag = request.GetBool();
  const std::string text = request.GetString();
  std::vector<std::string> list;
  request.GetVector(&list);
  response.AddInt32(n);
  response.AddInt64(big);
  response.AddBool(flag);
  response.AddString(text);
  response.AddVector(list);
  return true;
}

// Fixed-size raw data, then an answer that depends on it.
bool serveRaw(KzPDU& request, KzPDU& response) {
  char raw[8];
  if (!request.GetBuffer(raw, sizeof raw)) return false;
  response.AddRaw(raw, sizeof raw);
  return raw[0] != 0;
}

// Reads what the server sent; true once the server closed the connection.
bool drain(int fd) {
  char buf[4096];
  for (;;) {
    const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) continue;
    if (n == 0) return true;
    return errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  korza::ipcLog().setLevel(korza::kLogQuiet);
  char tmpl[] = "/tmp/kzfuzz.XXXXXX";
  if (mkdtemp(tmpl) == nullptr) abort();
  g_server = new Server;
  g_server->dir = tmpl;
  g_server->spec = "local:" + g_server->dir + "/s";
  atexit(removeSocketDir);
  g_server->pool = std::make_shared<KzPersistentServerPoolManager>(ConnSettings(0, 8));
  g_server->session.reset(new KzServerSession(g_server->pool));
  g_server->session->SetRequestTimeout(KzTimeout(200u));
  g_server->session->Register(
      std::make_shared<KzFunctionServerProtocol>(8206, serveFields, [](KzRequestScanner& scan) {
        scan.Int32();
        scan.Int64();
        scan.Int32();
        scan.String();
        scan.Vector();
      }));
  // Without a scan: handed on once its identifier is in.
  g_server->session->Register(std::make_shared<KzFunctionServerProtocol>(8195, serveRaw));
  g_server->session->Register(std::make_shared<korza::postd::KzReloadCompServer>(
      [](const std::list<int32_t>& pids) { return pids.size() % 2 == 0; }));
  g_server->session->Register(std::make_shared<korza::postd::KzUpdateServer>(
      [](const std::string& a, const std::string& b, const std::string& c) {
        return std::make_pair(a.size() < b.size(), a + b + c);
      }));
  auto status = std::make_shared<korza::postd::StatusSnapshot>();
  korza::postd::ComponentStatus agent;
  agent.name = "agent";
  agent.pid = 7;
  status->applications.push_back({"AGENT", "Agent", true, true, {agent}});
  g_server->session->Register(std::make_shared<korza::postd::KzStatusServer>(
      [status] { return korza::postd::StatusSnapshotPtr(status); }));
  g_server->session->Open(g_server->spec);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Larger inputs would only fill the socket buffers.
  if (size < 2 || size > size_t{64} * 1024) return 0;
  const size_t connections = 1 + data[0] % 4;
  uint32_t seed = data[1] | 1u;
  const uint8_t* payload = data + 2;
  const size_t length = size - 2;
  std::vector<KzIpcPtr> clients;
  std::vector<size_t> sent(connections, 0);
  for (size_t i = 0; i < connections; ++i) {
    clients.push_back(KzIpcFactory::Instance().Create("*", g_server->spec));
    if (!clients.back() || !clients.back()->Connect(KzTimeout(2000u))) abort();
  }
  const auto serve = [] {
    try {
      g_server->session->Execute(KzTimeout(1u));
    } catch (const std::exception&) {
      abort();  // Execute reports failures as false, never by throwing here
    }
  };
  const auto start = std::chrono::steady_clock::now();
  // Interleaved pieces of 1 to 64 bytes from every connection.
  for (bool more = true; more;) {
    more = false;
    for (size_t i = 0; i < connections; ++i) {
      if (sent[i] == length) continue;
      seed = seed * 1103515245u + 12345u;
      size_t piece = std::min<size_t>(1 + (seed >> 16) % 64, length - sent[i]);
      // A connection the server closed (a broken request) sends no more.
      try {
        if (!clients[i]->Send(payload + sent[i], &piece, KzTimeout(2000u))) abort();
      } catch (const std::exception&) {
        piece = length - sent[i];
      }
      sent[i] += piece;
      more = more || sent[i] < length;
      serve();
    }
    if (std::chrono::steady_clock::now() - start > std::chrono::seconds(5)) abort();
  }
  // End of the request streams: the server sees the close after the data.
  for (const auto& c : clients) shutdown(c->GetHandle(), SHUT_WR);
  std::vector<bool> done(connections, false);
  for (size_t left = connections; left > 0;) {
    for (size_t i = 0; i < connections; ++i) {
      if (!done[i] && drain(clients[i]->GetHandle())) {
        done[i] = true;
        --left;
      }
    }
    serve();
    // Every byte must be dealt with well within the request time-out.
    if (std::chrono::steady_clock::now() - start > std::chrono::seconds(5)) abort();
  }
  for (const auto& c : clients) c->Close();
  return 0;
}
