// The client session: one exchange of a client protocol per call, repeated
// once when the server had closed the connection it was given.
#include <cerrno>

#include "base/kz_exception.h"
#include "base/log.h"
#include "ipc/kz_session.h"

namespace korza {
namespace ipc {

using base::KzParameterError;

namespace {

void encodeId(uint32_t id, unsigned char* out) {
  out[0] = static_cast<unsigned char>(id >> 24);
  out[1] = static_cast<unsigned char>(id >> 16);
  out[2] = static_cast<unsigned char>(id >> 8);
  out[3] = static_cast<unsigned char>(id);
}

// Whether `e` says the peer has closed the connection.
bool closedByPeer(const std::exception& e) {
  if (dynamic_cast<const base::KzIpcErrorClosed*>(&e) != nullptr) return true;
  const auto* system = dynamic_cast<const base::KzSystemError*>(&e);
  return system != nullptr && (system->code() == EPIPE || system->code() == ECONNRESET);
}

}  // namespace

// The client session.

KzClientSession::KzClientSession(const std::shared_ptr<KzIfSessionPoolManager>& pool)
    : KzSession(pool) {}

KzClientSession::~KzClientSession() { Destroy(); }

bool KzClientSession::process(const std::shared_ptr<KzClientProtocol>& protocol,
                              const KzTimeout& timeout) {
  if (!protocol) {
    ipcLog().error("C-Session::process - a null pointer to a protocol");
    throw KzParameterError("ClientSession::process", "theProto", "null");
  }
  const KzDeadline deadline(timeout);
  for (int attempt = 0;; ++attempt) {
    bool closed = false;
    const bool ok = KzSession::Execute(
        [&protocol, &closed](const KzIpcPtr& connection, const KzDeadline& call_deadline) {
          try {
            return Exchange(*protocol, connection, call_deadline);
          } catch (const std::exception& e) {
            closed = closedByPeer(e);
            throw;
          }
        },
        deadline.Remaining());
    if (ok || !closed || attempt > 0 || !protocol->IsRepeatable()) return ok;
    ipcLog().info("C-Session::process - the connection has been closed by the server, the " +
                  std::string("request is repeated"));
  }
}

bool KzClientSession::Exchange(KzClientProtocol& protocol, const KzIpcPtr& connection,
                               const KzDeadline& deadline) {
  LogClass& log = ipcLog();
  unsigned char id[4];
  encodeId(protocol.GetID(), id);
  size_t length = sizeof id;
  try {
    if (!connection->Send(id, &length, deadline.Remaining())) {
      log.error("error in sending client information: " +
                base::TimedOutText("Socket::Send", deadline));
      return false;
    }
  } catch (const std::exception& e) {
    log.error(std::string("error in sending client information: ") + e.what());
    if (closedByPeer(e)) throw;
    return false;
  }
  KzPduPtr request = protocol.CreateUnit();
  KzPduPtr response = protocol.CreateUnit();
  request->SetConnection(connection);
  request->SetDeadline(deadline);
  response->SetConnection(connection);
  response->SetDeadline(deadline);
  do {
    request->Clear();
    response->Clear();
    if (!protocol.BuildRequest(*request) || !request->Flush() ||
        !protocol.ParseResponse(*response)) {
      log.error("protocol error over " + connection->Text());
      return false;
    }
  } while (!protocol.IsFinished());
  return true;
}

}  // namespace ipc
}  // namespace korza
