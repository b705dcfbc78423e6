#include "ipc/kz_app_proto.h"

#include "base/kz_exception.h"

namespace korza {
namespace postd {

using ipc::KzPDU;

bool KzStartAppClient::BuildRequest(KzPDU& request) {
  return request.AddString(name_) && request.AddInt32(pid_) && request.AddString(permissions_) &&
         request.AddString(argv_);
}

bool KzStartAppServer::BuildResponse(KzPDU& request, KzPDU&) {
  const std::string name = request.GetString();
  const int32_t pid = request.GetInt32();
  const std::string permissions = request.GetString();
  const std::string argv = request.GetString();
  if (!processor_) throw base::KzException("call to empty boost::function");
  processor_(request.GetRemoteAddressAsString(), name, pid, permissions, argv);
  return true;
}

bool KzStopAppClient::BuildRequest(KzPDU& request) {
  return request.AddString(name_) && request.AddInt32(pid_);
}

bool KzStopAppServer::BuildResponse(KzPDU& request, KzPDU&) {
  const std::string name = request.GetString();
  const int32_t pid = request.GetInt32();
  if (!processor_) throw base::KzException("call to empty boost::function");
  processor_(request.GetRemoteAddressAsString(), name, pid);
  return true;
}

bool KzStartAppServer::ScanRequest(ipc::KzRequestScanner& scanner) const {
  scanner.String();
  scanner.Int32();
  scanner.String();
  scanner.String();
  return true;
}

bool KzStopAppServer::ScanRequest(ipc::KzRequestScanner& scanner) const {
  scanner.String();
  scanner.Int32();
  return true;
}

}  // namespace postd
}  // namespace korza
