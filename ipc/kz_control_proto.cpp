#include "ipc/kz_control_proto.h"

#include <memory>

#include "base/kz_exception.h"

namespace korza {
namespace postd {

using base::KzException;

namespace {

// A request unit that refuses to read more than one request may carry.
KzPduPtr limitedUnit() {
  auto unit = std::make_shared<ipc::KzDdpUnit>();
  unit->SetReceiveLimit(kMaxControlRequestBytes);
  return unit;
}

}  // namespace

bool KzReloadCompClient::BuildRequest(KzPDU& request) {
  request.AddInt32(static_cast<int32_t>(pids_.size()));
  for (int32_t pid : pids_) request.AddInt32(pid);
  return true;
}

bool KzReloadCompClient::ParseResponse(KzPDU&) {
  result_ = true;
  return true;
}

KzPduPtr KzReloadCompServer::CreateUnit() const { return limitedUnit(); }

bool KzReloadCompServer::BuildResponse(KzPDU& request, KzPDU&) {
  const int32_t count = request.GetInt32();
  if (count < 0 || count > kMaxReloadPids) {
    throw KzException("KzReloadCompServer::BuildResponse: wrong number of pids " +
                      std::to_string(count));
  }
  std::list<int32_t> pids;
  for (int32_t i = 0; i < count; ++i) pids.push_back(request.GetInt32());
  return processor_(pids);
}

bool KzUpdateClient::BuildRequest(KzPDU& request) {
  request.AddString(first_);
  request.AddString(second_);
  request.AddString(third_);
  return true;
}

bool KzUpdateClient::ParseResponse(KzPDU& response) {
  success_ = response.GetInt32() != 0;
  text_ = response.GetString();
  answered_ = true;
  return success_;
}

KzPduPtr KzUpdateServer::CreateUnit() const { return limitedUnit(); }

bool KzUpdateServer::BuildResponse(KzPDU& request, KzPDU& response) {
  const std::string first = request.GetString();
  const std::string second = request.GetString();
  const std::string third = request.GetString();
  const std::pair<bool, std::string> result = processor_(first, second, third);
  if (!response.AddInt32(result.first ? 1 : 0) || !response.AddString(result.second)) {
    throw KzException("KzUpdateServer::BuildResponse error'");
  }
  return true;
}

bool KzReloadCompServer::ScanRequest(ipc::KzRequestScanner& scanner) const {
  const int32_t count = scanner.Int32();
  if (count < 0 || count > kMaxReloadPids) {
    throw KzException("KzReloadCompServer::BuildResponse: wrong number of pids " +
                      std::to_string(count));
  }
  scanner.Skip(uint64_t{4} * static_cast<uint64_t>(count));
  return true;
}

bool KzUpdateServer::ScanRequest(ipc::KzRequestScanner& scanner) const {
  scanner.String();
  scanner.String();
  scanner.String();
  return true;
}

}  // namespace postd
}  // namespace korza
