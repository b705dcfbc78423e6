// The status protocol of the monitor's control server: what runs, since
// when, how often it restarted and why it last failed. Its client side is
// used by korza-ctl and the tests.
//
//   Status (8300)  request:  int32 format (kStatusFormat)
//                  response: int32 format, int32 daemon pid,
//                            int64 daemon start time, string version,
//                            int64 time of the snapshot, int64 server clock
//                            at the answer, int32 A, then A applications:
//                              string name, string full name, bool started,
//                              bool in the run list (or needed by one there),
//                              int32 C, then C components:
//                                string name, int32 pid (0: none),
//                                int32 state (ComponentState),
//                                int64 due time of the next restart (0: none),
//                                int64 time of the last start (0: never),
//                                int32 restarts since the daemon started,
//                                int64 time of the last fault (0: none),
//                                string cause of the last fault ("": none)
//
// Times are seconds since the epoch on the server's clock. Fields are DDP
// fields (kz_ddp_unit.h). A server reads at most kMaxStatusRequestBytes of
// a request; a client at most kMaxStatusResponseBytes of a response and at
// most kMaxStatusEntries applications or components per list.
//
// Thread safety: a client object serves one call at a time. A server object
// keeps no per-call state; its processor is called on the serving thread.
#ifndef KORZA_IPC_KZ_STATUS_PROTO_H_
#define KORZA_IPC_KZ_STATUS_PROTO_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ipc/kz_protocol.h"

namespace korza {
namespace postd {

enum : uint32_t { kStatusProtocol = 8300 };

const int32_t kStatusFormat = 1;
const uint64_t kMaxStatusRequestBytes = 64;
const uint64_t kMaxStatusResponseBytes = uint64_t{64} * 1024 * 1024;
const int32_t kMaxStatusEntries = 64 * 1024;

enum class ComponentState : int32_t {
  kStopped = 0,
  kRunning = 1,
  kWaiting = 2,  // dead, a restart is due at dueTime
  kGivenUp = 3,  // the recovery list is used up
};

// "stopped", "running", "waiting", "given up".
const char* stateName(ComponentState state);

struct ComponentStatus {
  std::string name;
  int32_t pid = 0;
  ComponentState state = ComponentState::kStopped;
  int64_t dueTime = 0;
  int64_t lastStart = 0;
  int32_t restarts = 0;
  int64_t lastFaultTime = 0;
  std::string lastFault;
};

struct ApplicationStatus {
  std::string name;
  std::string fullName;
  bool started = false;
  bool inRunList = false;  // listed to run, or a dependency of one that is
  std::vector<ComponentStatus> components;
};

// What the daemon publishes for status requests; immutable once published.
struct StatusSnapshot {
  int32_t pid = 0;
  int64_t startTime = 0;
  std::string version;
  int64_t time = 0;
  std::vector<ApplicationStatus> applications;
};

using StatusSnapshotPtr = std::shared_ptr<const StatusSnapshot>;

// Encoder and decoder of the response fields after the format; `now` is the
// server clock. GetStatus throws base::KzException for a list longer than
// kMaxStatusEntries or an unknown state.
bool PutStatus(ipc::KzPDU& unit, const StatusSnapshot& status, int64_t now);
void GetStatus(ipc::KzPDU& unit, StatusSnapshot* status, int64_t* now);

class KzStatusClient : public ipc::KzClientProtocol {
 public:
  uint32_t GetID() const override { return kStatusProtocol; }
  ipc::KzPduPtr CreateUnit() const override;
  bool BuildRequest(ipc::KzPDU& request) override;
  // Throws base::KzException for another format or a malformed answer.
  bool ParseResponse(ipc::KzPDU& response) override;
  // A status request changes nothing: it may be sent again.
  bool IsRepeatable() const override { return true; }

  bool answered() const { return answered_; }
  const StatusSnapshot& GetResult() const { return status_; }
  // The server's clock when it answered.
  int64_t serverTime() const { return serverTime_; }

 private:
  StatusSnapshot status_;
  int64_t serverTime_ = 0;
  bool answered_ = false;
};

class KzStatusServer : public ipc::KzServerProtocol {
 public:
  // The snapshot to answer with; null makes the exchange an error.
  using Processor = std::function<StatusSnapshotPtr()>;
  explicit KzStatusServer(Processor processor) : processor_(std::move(processor)) {}
  uint32_t GetID() const override { return kStatusProtocol; }
  ipc::KzPduPtr CreateUnit() const override;
  // Throws base::KzException for a request of another format.
  bool BuildResponse(ipc::KzPDU& request, ipc::KzPDU& response) override;
  bool ScanRequest(ipc::KzRequestScanner& scanner) const override;

 private:
  Processor processor_;
};

}  // namespace postd
}  // namespace korza

#endif  // KORZA_IPC_KZ_STATUS_PROTO_H_
