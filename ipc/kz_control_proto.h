// The two control protocols the monitor serves on its own addresses, with
// their client sides (used by korza-ctl and the tests):
//
//   ReloadComp (8200)  request:  int32 N, then N x int32 pid, in list order
//                      response: nothing
//   Update (8204)      request:  string directory, string second,
//                                string product
//                      response: int32 success (1 or 0), string text
//
// Fields are DDP fields (kz_ddp_unit.h). A server reads at most
// kMaxControlRequestBytes of one request in all; a ReloadComp request also
// names at most kMaxReloadPids pids. A request beyond either limit ends the
// exchange as an error before the processor is called.
//
// Thread safety: a client object serves one call at a time. A server object
// keeps no per-call state; its processor is called on the serving thread.
#ifndef KORZA_IPC_KZ_CONTROL_PROTO_H_
#define KORZA_IPC_KZ_CONTROL_PROTO_H_

#include <cstdint>
#include <functional>
#include <list>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "ipc/kz_protocol.h"

namespace korza {
namespace postd {

using ipc::KzClientProtocol;
using ipc::KzPDU;
using ipc::KzPduPtr;
using ipc::KzServerProtocol;

enum : uint32_t {
  kReloadCompProtocol = 8200,
  kUpdateProtocol = 8204,
};

const uint64_t kMaxControlRequestBytes = uint64_t{64} * 1024 * 1024;
const int32_t kMaxReloadPids = 1024 * 1024;

class KzReloadCompClient : public KzClientProtocol {
 public:
  explicit KzReloadCompClient(std::vector<int32_t> pids) : pids_(std::move(pids)) {}
  uint32_t GetID() const override { return kReloadCompProtocol; }
  bool BuildRequest(KzPDU& request) override;
  // The response carries no data.
  bool ParseResponse(KzPDU& response) override;
  bool GetResult() const { return result_; }

 private:
  std::vector<int32_t> pids_;
  bool result_ = false;
};

class KzReloadCompServer : public KzServerProtocol {
 public:
  // Receives the pids in request order; false makes the exchange an error.
  using Processor = std::function<bool(const std::list<int32_t>& pids)>;
  explicit KzReloadCompServer(Processor processor) : processor_(std::move(processor)) {}
  uint32_t GetID() const override { return kReloadCompProtocol; }
  KzPduPtr CreateUnit() const override;
  // Throws base::KzException for a negative count or one above
  // kMaxReloadPids.
  bool BuildResponse(KzPDU& request, KzPDU& response) override;
  bool ScanRequest(ipc::KzRequestScanner& scanner) const override;

 private:
  Processor processor_;
};

class KzUpdateClient : public KzClientProtocol {
 public:
  KzUpdateClient(std::string first, std::string second, std::string third)
      : first_(std::move(first)), second_(std::move(second)), third_(std::move(third)) {}
  uint32_t GetID() const override { return kUpdateProtocol; }
  bool BuildRequest(KzPDU& request) override;
  // Reads success and text; returns success.
  bool ParseResponse(KzPDU& response) override;
  // (text, success) of the response; answered() tells whether one came.
  std::tuple<std::string, bool> GetResult() const { return std::make_tuple(text_, success_); }
  bool answered() const { return answered_; }

 private:
  std::string first_;
  std::string second_;
  std::string third_;
  bool success_ = false;
  bool answered_ = false;
  std::string text_;
};

class KzUpdateServer : public KzServerProtocol {
 public:
  // Receives the three request strings; returns (success, text).
  using Processor = std::function<std::pair<bool, std::string>(
      const std::string& first, const std::string& second, const std::string& third)>;
  explicit KzUpdateServer(Processor processor) : processor_(std::move(processor)) {}
  uint32_t GetID() const override { return kUpdateProtocol; }
  KzPduPtr CreateUnit() const override;
  // Throws base::KzException "KzUpdateServer::BuildResponse error'" when
  // the response cannot be written.
  bool BuildResponse(KzPDU& request, KzPDU& response) override;
  bool ScanRequest(ipc::KzRequestScanner& scanner) const override;

 private:
  Processor processor_;
};

}  // namespace postd
}  // namespace korza

#endif  // KORZA_IPC_KZ_CONTROL_PROTO_H_
