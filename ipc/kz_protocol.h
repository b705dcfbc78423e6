// Protocols: objects that know their 32-bit identifier and how to write and
// read their messages with DDP units. A client protocol builds a request and
// parses the response; a server protocol reads the request and writes the
// response. Every protocol of this program is one request and one response.
//
// Thread safety: a client protocol object serves one call at a time; a
// registered server protocol may serve several server threads at once and
// must keep no per-call state in members.
#ifndef KORZA_IPC_KZ_PROTOCOL_H_
#define KORZA_IPC_KZ_PROTOCOL_H_

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>

#include "ipc/kz_ddp_unit.h"
#include "ipc/kz_request.h"

namespace korza {
namespace ipc {

class KzProtocol {
 public:
  virtual ~KzProtocol() = default;
  virtual KzPduPtr CreateUnit() const { return std::make_shared<KzDdpUnit>(); }
  virtual bool IsFinished() const { return true; }
  virtual uint32_t GetID() const = 0;
};

// The other end of the connection an exchange is served on.
struct KzPeer {
  bool unixSocket = false;  // a Unix-domain connection (local:, unix:)
  bool known = false;       // the system named the peer's uid
  uid_t uid = 0;
};

// The peer of the exchange a server protocol is serving on this thread.
// The serving session sets it (PeerScope) around each exchange; outside one
// it is an unknown peer.
const KzPeer& CurrentPeer();
class PeerScope {
 public:
  // Records the peer of the connected socket `fd`.
  explicit PeerScope(int fd);
  ~PeerScope();
  PeerScope(const PeerScope&) = delete;
  PeerScope& operator=(const PeerScope&) = delete;

 private:
  KzPeer saved_;
};

class KzClientProtocol : public KzProtocol {
 public:
  // Writes the request fields; false ends the call as a protocol error.
  virtual bool BuildRequest(KzPDU& request) = 0;
  // Reads the response fields from the connection.
  virtual bool ParseResponse(KzPDU& response) = 0;
  // Whether the whole exchange may be run once more, on another connection,
  // when the server turns out to have closed the pooled one. Only a
  // protocol whose request is harmless to repeat says yes.
  virtual bool IsRepeatable() const { return false; }
};

class KzServerProtocol : public KzProtocol {
 public:
  // Reads the request with the Get operations of `request` and writes the
  // answer into `response`.
  virtual bool BuildResponse(KzPDU& request, KzPDU& response) = 0;
  // Walks the fields of one request (after the identifier) with `scanner`,
  // so that the server knows when the whole request has arrived; the
  // scanner throws while it has not. False: the protocol cannot tell, and
  // its request is handed on as soon as any of it has arrived (its reads
  // then wait on the connection, bounded by the session's time-out).
  virtual bool ScanRequest(KzRequestScanner& scanner) const {
    (void)scanner;
    return false;
  }
};

// A client protocol made of two functions.
class KzFunctionClientProtocol : public KzClientProtocol {
 public:
  using Function = std::function<bool(KzPDU&)>;
  KzFunctionClientProtocol(uint32_t id, Function build, Function parse)
      : id_(id), build_(std::move(build)), parse_(std::move(parse)) {}
  uint32_t GetID() const override { return id_; }
  bool BuildRequest(KzPDU& request) override { return build_(request); }
  bool ParseResponse(KzPDU& response) override { return parse_(response); }

 private:
  uint32_t id_;
  Function build_;
  Function parse_;
};

// A server protocol made of one function, and optionally one that scans
// its request.
class KzFunctionServerProtocol : public KzServerProtocol {
 public:
  using Function = std::function<bool(KzPDU& request, KzPDU& response)>;
  using Scan = std::function<void(KzRequestScanner& scanner)>;
  KzFunctionServerProtocol(uint32_t id, Function serve, Scan scan = Scan())
      : id_(id), serve_(std::move(serve)), scan_(std::move(scan)) {}
  uint32_t GetID() const override { return id_; }
  bool BuildResponse(KzPDU& request, KzPDU& response) override { return serve_(request, response); }
  bool ScanRequest(KzRequestScanner& scanner) const override {
    if (!scan_) return false;
    scan_(scanner);
    return true;
  }

 private:
  uint32_t id_;
  Function serve_;
  Scan scan_;
};

}  // namespace ipc
}  // namespace korza

#endif  // KORZA_IPC_KZ_PROTOCOL_H_
