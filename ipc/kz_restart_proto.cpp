#include "ipc/kz_restart_proto.h"

#include "base/kz_exception.h"
#include "ipc/kz_ddp_unit.h"

namespace korza {
namespace postd {

using base::KzException;

bool KzRestartClient::BuildRequest(ipc::KzPDU& request) {
  ok_ = false;
  text_.clear();
  bool ok =
      request.AddInt32(kRestartFormat) && request.AddInt32(static_cast<int32_t>(targets_.size()));
  for (const std::string& t : targets_) ok = ok && request.AddString(t);
  return ok;
}

bool KzRestartClient::ParseResponse(ipc::KzPDU& response) {
  const int32_t format = response.GetInt32();
  if (format != kRestartFormat) {
    throw KzException("restart: unknown answer format " + std::to_string(format));
  }
  ok_ = response.GetInt32() == 1;
  text_ = response.GetString();
  return true;
}

ipc::KzPduPtr KzRestartServer::CreateUnit() const {
  auto unit = std::make_shared<ipc::KzDdpUnit>();
  unit->SetReceiveLimit(kMaxRestartRequestBytes);
  return unit;
}

namespace {

int32_t targetCount(int32_t format, int32_t count) {
  if (format != kRestartFormat) {
    throw KzException("KzRestartServer::BuildResponse: unknown request format " +
                      std::to_string(format));
  }
  if (count < 0 || count > kMaxRestartTargets) {
    throw KzException("KzRestartServer::BuildResponse: wrong number of targets " +
                      std::to_string(count));
  }
  return count;
}

}  // namespace

bool KzRestartServer::ScanRequest(ipc::KzRequestScanner& scanner) const {
  const int32_t format = scanner.Int32();
  const int32_t count = targetCount(format, scanner.Int32());
  for (int32_t i = 0; i < count; ++i) scanner.String();
  return true;
}

bool KzRestartServer::BuildResponse(ipc::KzPDU& request, ipc::KzPDU& response) {
  const int32_t format = request.GetInt32();
  const int32_t count = targetCount(format, request.GetInt32());
  std::vector<std::string> targets;
  targets.reserve(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i) targets.push_back(request.GetString());
  const std::pair<bool, std::string> result = processor_(targets, ipc::CurrentPeer());
  if (!response.AddInt32(kRestartFormat) || !response.AddInt32(result.first ? 1 : 0) ||
      !response.AddString(result.second)) {
    throw KzException("KzRestartServer::BuildResponse error");
  }
  return true;
}

}  // namespace postd
}  // namespace korza
