// The server session: registered protocols, the check that tells the pool
// when a request has fully arrived, and serving one request per call with
// the peer of its connection known to the protocol.
#include <cerrno>

#include "base/kz_exception.h"
#include "base/log.h"
#include "base/peer_cred.h"
#include "base/utils.h"
#include "ipc/kz_session.h"

namespace korza {
namespace ipc {

using base::KzException;
using base::KzParameterError;

namespace {

uint32_t decodeId(const unsigned char* in) {
  return (static_cast<uint32_t>(in[0]) << 24) | (static_cast<uint32_t>(in[1]) << 16) |
         (static_cast<uint32_t>(in[2]) << 8) | static_cast<uint32_t>(in[3]);
}

}  // namespace

// The server session.

KzServerSession::KzServerSession(const std::shared_ptr<KzIfSessionPoolManager>& pool,
                                 const std::shared_ptr<KzServerProtocol>& protocol)
    : KzSession(pool), fixed_(protocol), request_timeout_(30, KzTimeout::kSeconds) {
  pool->SetRequestChecker(
      [this](const std::string& data, size_t offset) { return Check(data, offset); });
  pool->SetRequestTimeout(request_timeout_);
}

KzServerSession::~KzServerSession() {
  Destroy();
  // The pool may outlive the session; it must not call back into it.
  PoolManager()->SetRequestChecker(KzRequestChecker());
}

bool KzServerSession::Register(const std::shared_ptr<KzServerProtocol>& protocol) {
  if (!protocol) {
    ipcLog().alert("S-Session::Register - a null pointer to a protocol");
    throw KzParameterError("ServerSession::Register", "theProto", "null");
  }
  std::lock_guard<std::mutex> lock(protocols_mutex_);
  if (!protocols_.emplace(protocol->GetID(), protocol).second) {
    ipcLog().alert("S-Session::Register - a protocol (id=" + std::to_string(protocol->GetID()) +
                   ") already has been registred");
    return false;
  }
  return true;
}

bool KzServerSession::Deregister(const std::shared_ptr<KzServerProtocol>& protocol) {
  if (!protocol) {
    ipcLog().alert("S-Session::Deregister - a null pointer to a protocol");
    throw KzParameterError("ServerSession::Deregister", "theProto", "null");
  }
  std::lock_guard<std::mutex> lock(protocols_mutex_);
  if (protocols_.erase(protocol->GetID()) == 0) {
    ipcLog().alert("S-Session::Deregister - a protocol (id=" + std::to_string(protocol->GetID()) +
                   ") has not been registred");
    return false;
  }
  return true;
}

void KzServerSession::SetRequestTimeout(const KzTimeout& timeout) {
  {
    std::lock_guard<std::mutex> lock(protocols_mutex_);
    request_timeout_ = timeout;
  }
  PoolManager()->SetRequestTimeout(timeout);
}

KzTimeout KzServerSession::RequestTimeout() const {
  std::lock_guard<std::mutex> lock(protocols_mutex_);
  return request_timeout_;
}

std::shared_ptr<KzServerProtocol> KzServerSession::Choose(uint32_t id) const {
  if (fixed_) {
    if (fixed_->GetID() != id) {
      const std::string r = std::to_string(id);
      const std::string s = std::to_string(fixed_->GetID());
      ipcLog().error("server: wrong protocol ID (received=" + r + ", supported=" + s + ")");
      throw KzException("server: wrong protocol ID (rcv=" + r + ", sup=" + s + ")");
    }
    return fixed_;
  }
  std::lock_guard<std::mutex> lock(protocols_mutex_);
  auto it = protocols_.find(id);
  if (it == protocols_.end()) {
    ipcLog().error("server: unsupported protocol ID ->" + std::to_string(id));
    throw KzException("server: unsupported protocol ID -> " + std::to_string(id));
  }
  return it->second;
}

KzRequestCheck KzServerSession::Check(const std::string& data, size_t offset) const {
  KzRequestCheck check;
  if (data.size() < offset + 4) {
    check.needed = offset + 4;
    return check;
  }
  check.id = decodeId(reinterpret_cast<const unsigned char*>(data.data() + offset));
  std::shared_ptr<KzServerProtocol> protocol;
  try {
    protocol = Choose(check.id);
  } catch (const std::exception& e) {
    check.state = KzRequestCheck::kInvalid;
    check.error = e.what();
    return check;
  }
  KzRequestScanner scanner(data, offset + 4, kMaxRequestBytes);
  try {
    protocol->ScanRequest(scanner);
    check.state = KzRequestCheck::kComplete;
  } catch (const KzRequestIncomplete& more) {
    check.needed = more.needed;
  } catch (const std::exception& e) {
    check.state = KzRequestCheck::kInvalid;
    check.error = e.what();
  }
  return check;
}

bool KzServerSession::Execute(const KzTimeout& timeout, const KzRequestFilter& filter) {
  {
    std::lock_guard<std::mutex> lock(protocols_mutex_);
    if (!fixed_ && protocols_.empty()) {
      ipcLog().error("server: supported protocols were not been defined");
      throw KzException("server: supported protocols were not been defined");
    }
  }
  return KzSession::Execute(
      [this](const KzIpcPtr& connection, const KzDeadline&) { return Serve(connection); }, timeout,
      filter);
}

namespace {

thread_local KzPeer t_peer;

}  // namespace

const KzPeer& CurrentPeer() { return t_peer; }

PeerScope::PeerScope(int fd) : saved_(t_peer) {
  KzPeer peer;
  uid_t uid = 0;
  if (fd >= 0 && Utils::peerUid(fd, &uid)) {
    peer.unixSocket = true;
    peer.known = true;
    peer.uid = uid;
  } else if (fd >= 0 && errno != EAFNOSUPPORT) {
    // A Unix-domain socket whose peer the system cannot name.
    peer.unixSocket = true;
  }
  t_peer = peer;
}

PeerScope::~PeerScope() { t_peer = saved_; }

bool KzServerSession::Serve(const KzIpcPtr& connection) {
  LogClass& log = ipcLog();
  // The request has arrived (or, for a protocol that cannot tell, has
  // begun to): reading the rest and answering are bounded by this time.
  const KzDeadline deadline(RequestTimeout());
  unsigned char id[4];
  size_t length = sizeof id;
  try {
    if (!connection->Receive(id, &length, deadline.Remaining())) {
      log.error("error in receiving client information: " +
                base::TimedOutText("Socket::Receive", deadline));
      return false;
    }
  } catch (const std::exception& e) {
    log.error(std::string("error in receiving client information: ") + e.what());
    return false;
  }
  const std::shared_ptr<KzServerProtocol> protocol = Choose(decodeId(id));
  KzPduPtr request = protocol->CreateUnit();
  KzPduPtr response = protocol->CreateUnit();
  request->SetConnection(connection);
  request->SetDeadline(deadline);
  response->SetConnection(connection);
  response->SetDeadline(deadline);
  // The processor may ask who is at the other end (a restart request).
  const PeerScope peer(connection->GetHandle());
  do {
    request->Clear();
    response->Clear();
    if (!protocol->BuildResponse(*request, *response) || !response->Flush()) {
      log.error("server: an protocol error over " + connection->Text());
      return false;
    }
  } while (!protocol->IsFinished());
  return true;
}

}  // namespace ipc
}  // namespace korza
