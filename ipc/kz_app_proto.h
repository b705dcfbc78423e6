// The application reports the monitor sends to the configuration agent.
//
// StartApp (8201): string name, int32 pid, string permissions, string
// argument string. StopApp (8202): string name, int32 pid. Neither has a
// response. The server side hands the fields, with the peer's address, to
// its processor.
//
// Thread safety: as for every protocol (kz_protocol.h).
#ifndef KORZA_IPC_KZ_APP_PROTO_H_
#define KORZA_IPC_KZ_APP_PROTO_H_

#include <cstdint>
#include <functional>
#include <string>

#include "ipc/kz_protocol.h"

namespace korza {
namespace postd {

class KzStartAppClient : public ipc::KzClientProtocol {
 public:
  static constexpr uint32_t kId = 8201;

  KzStartAppClient(const std::string& name, const std::string& permissions, const std::string& argv,
                   int32_t pid)
      : name_(name), permissions_(permissions), argv_(argv), pid_(pid) {}

  uint32_t GetID() const override { return kId; }
  bool BuildRequest(ipc::KzPDU& request) override;
  bool ParseResponse(ipc::KzPDU&) override { return true; }

 private:
  std::string name_;
  std::string permissions_;
  std::string argv_;
  int32_t pid_;
};

class KzStartAppServer : public ipc::KzServerProtocol {
 public:
  using Processor =
      std::function<void(const std::string& peer, const std::string& name, int32_t pid,
                         const std::string& permissions, const std::string& argv)>;

  explicit KzStartAppServer(Processor processor) : processor_(std::move(processor)) {}
  uint32_t GetID() const override { return KzStartAppClient::kId; }
  // Throws KzException for an empty processor; read errors pass through.
  bool BuildResponse(ipc::KzPDU& request, ipc::KzPDU& response) override;
  bool ScanRequest(ipc::KzRequestScanner& scanner) const override;

 private:
  Processor processor_;
};

class KzStopAppClient : public ipc::KzClientProtocol {
 public:
  static constexpr uint32_t kId = 8202;

  KzStopAppClient(const std::string& name, int32_t pid) : name_(name), pid_(pid) {}

  uint32_t GetID() const override { return kId; }
  bool BuildRequest(ipc::KzPDU& request) override;
  bool ParseResponse(ipc::KzPDU&) override { return true; }

 private:
  std::string name_;
  int32_t pid_;
};

class KzStopAppServer : public ipc::KzServerProtocol {
 public:
  using Processor =
      std::function<void(const std::string& peer, const std::string& name, int32_t pid)>;

  explicit KzStopAppServer(Processor processor) : processor_(std::move(processor)) {}
  uint32_t GetID() const override { return KzStopAppClient::kId; }
  bool BuildResponse(ipc::KzPDU& request, ipc::KzPDU& response) override;
  bool ScanRequest(ipc::KzRequestScanner& scanner) const override;

 private:
  Processor processor_;
};

}  // namespace postd
}  // namespace korza

#endif  // KORZA_IPC_KZ_APP_PROTO_H_
