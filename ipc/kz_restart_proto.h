// The monitor's own restart protocol, beside the status protocol:
//
//   Restart (8301)  request:  int32 format (kRestartFormat), int32 N, then
//                             N strings "APPLICATION" or
//                             "APPLICATION/COMPONENT"
//                   response: int32 format, int32 success (1 or 0),
//                             string text (one line per target, or why the
//                             request was refused)
//
// The server answers once every named component has been restarted (its
// new instance answered, or its start failed). Who may ask is the
// processor's decision: it gets the peer of the connection (ipc::KzPeer),
// which the serving session records for the exchange.
#ifndef KORZA_IPC_KZ_RESTART_PROTO_H_
#define KORZA_IPC_KZ_RESTART_PROTO_H_

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "ipc/kz_protocol.h"
#include "ipc/kz_request.h"

namespace korza {
namespace postd {

enum : uint32_t { kRestartProtocol = 8301 };

const int32_t kRestartFormat = 1;
const int32_t kMaxRestartTargets = 64 * 1024;
const uint64_t kMaxRestartRequestBytes = uint64_t{4} * 1024 * 1024;

using ipc::KzPeer;

class KzRestartClient : public ipc::KzClientProtocol {
 public:
  explicit KzRestartClient(std::vector<std::string> targets) : targets_(std::move(targets)) {}
  uint32_t GetID() const override { return kRestartProtocol; }
  bool BuildRequest(ipc::KzPDU& request) override;
  // Throws base::KzException for another format.
  bool ParseResponse(ipc::KzPDU& response) override;
  // A restart is not repeated behind the caller's back.
  bool IsRepeatable() const override { return false; }

  bool succeeded() const { return ok_; }
  const std::string& text() const { return text_; }

 private:
  std::vector<std::string> targets_;
  bool ok_ = false;
  std::string text_;
};

class KzRestartServer : public ipc::KzServerProtocol {
 public:
  // Gets the targets in request order and the peer; returns the success
  // flag and the text of the response.
  using Processor =
      std::function<std::pair<bool, std::string>(const std::vector<std::string>&, const KzPeer&)>;
  explicit KzRestartServer(Processor processor) : processor_(std::move(processor)) {}
  uint32_t GetID() const override { return kRestartProtocol; }
  ipc::KzPduPtr CreateUnit() const override;
  // Throws base::KzException for another format or a wrong target count.
  bool BuildResponse(ipc::KzPDU& request, ipc::KzPDU& response) override;
  bool ScanRequest(ipc::KzRequestScanner& scanner) const override;

 private:
  Processor processor_;
};

}  // namespace postd
}  // namespace korza

#endif  // KORZA_IPC_KZ_RESTART_PROTO_H_
