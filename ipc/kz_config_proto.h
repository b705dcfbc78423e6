// The configuration protocols spoken with the configuration agent.
//
// Configuration (8195): the client names itself (component number, program
// name, pid) and the agent answers with its parameters:
//   request   int32 type (1, or 3 for the alternative request),
//             int32 component, string name, int32 pid
//   response  int32 type (2), int32 code (1 success, 2 failure),
//             int32 N, N pairs of strings (name, value) in name order
// Configuration store (8206): the client hands settings to the agent:
//   request   int32 component, string name, int32 pid, int32 N, N pairs
//   response  int32 type (2), int32 code (1 stored, 2 failure)
//
// A client's ParseResponse logs what went wrong ("in parse client
// response: ...") and returns false, which makes the session call fail.
// A server's BuildResponse logs ("in build response to client: ...") and
// passes the error on.
//
// Thread safety: a client object serves one call at a time; a server object
// keeps no per-call state and may serve several threads at once.
#ifndef KORZA_IPC_KZ_CONFIG_PROTO_H_
#define KORZA_IPC_KZ_CONFIG_PROTO_H_

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "ipc/kz_protocol.h"

namespace korza {
namespace postd {

using ConfigValues = std::map<std::string, std::string>;

class KzConfigClient : public ipc::KzClientProtocol {
 public:
  static constexpr uint32_t kId = 8195;

  // A pid of 0 stands for the calling process.
  KzConfigClient(int32_t component, const std::string& name, int32_t pid = 0,
                 bool alternative = false);

  uint32_t GetID() const override { return kId; }
  bool BuildRequest(ipc::KzPDU& request) override;
  bool ParseResponse(ipc::KzPDU& response) override;
  // Asking again changes nothing on the agent.
  bool IsRepeatable() const override { return true; }

  // The value received for `name`. Throws KzException when the name was not
  // sent or its value is empty.
  std::string GetValue(const std::string& name) const;
  const ConfigValues& Values() const { return values_; }
  int32_t ResponseCode() const { return code_; }
  // What made the last ParseResponse fail; empty after a success.
  const std::string& LastError() const { return error_; }

 private:
  int32_t code_ = 0;
  int32_t component_;
  std::string name_;
  int32_t pid_;
  bool alternative_;
  ConfigValues values_;
  std::string error_;
};

class KzConfigStoreClient : public ipc::KzClientProtocol {
 public:
  static constexpr uint32_t kId = 8206;

  KzConfigStoreClient(int32_t component, const std::string& name, int32_t pid,
                      const ConfigValues& settings);

  uint32_t GetID() const override { return kId; }
  bool BuildRequest(ipc::KzPDU& request) override;
  bool ParseResponse(ipc::KzPDU& response) override;
  int32_t ResponseCode() const { return code_; }
  const std::string& LastError() const { return error_; }

 private:
  int32_t code_ = 0;
  int32_t component_;
  std::string name_;
  int32_t pid_;
  ConfigValues settings_;
  std::string error_;
};

// Who asks: the identification fields of a request and the peer's address.
struct ConfigRequester {
  int32_t type = 0;  // 1 or 3; 0 for a store request
  int32_t component = 0;
  std::string name;
  int32_t pid = 0;
  std::string remote;
};

class KzConfigServer : public ipc::KzServerProtocol {
 public:
  // Fills the values for the requester; false answers code 2.
  using Handler = std::function<bool(const ConfigRequester& who, ConfigValues& values)>;

  explicit KzConfigServer(Handler handler) : handler_(std::move(handler)) {}
  uint32_t GetID() const override { return KzConfigClient::kId; }
  // Throws KzException on a bad request type, a failed write or an empty
  // handler.
  bool BuildResponse(ipc::KzPDU& request, ipc::KzPDU& response) override;
  bool ScanRequest(ipc::KzRequestScanner& scanner) const override;

 private:
  Handler handler_;
};

class KzConfigStoreServer : public ipc::KzServerProtocol {
 public:
  // Stores the settings; false answers code 2.
  using Handler = std::function<bool(const ConfigRequester& who, const ConfigValues& settings)>;

  explicit KzConfigStoreServer(Handler handler) : handler_(std::move(handler)) {}
  uint32_t GetID() const override { return KzConfigStoreClient::kId; }
  bool BuildResponse(ipc::KzPDU& request, ipc::KzPDU& response) override;
  bool ScanRequest(ipc::KzRequestScanner& scanner) const override;

 private:
  Handler handler_;
};

}  // namespace postd
}  // namespace korza

#endif  // KORZA_IPC_KZ_CONFIG_PROTO_H_
