#include "ipc/kz_config_proto.h"

#include <unistd.h>

#include "base/kz_exception.h"
#include "base/log.h"
#include "base/utils.h"

namespace korza {
namespace postd {

using base::KzException;
using ipc::KzPDU;

namespace {

const int32_t kRequestType = 1;
const int32_t kAlternativeRequestType = 3;
const int32_t kResponseType = 2;
const int32_t kSuccess = 1;
const int32_t kFailure = 2;

int32_t pidOrSelf(int32_t pid) { return pid != 0 ? pid : static_cast<int32_t>(getpid()); }

// Reads type and code of a response; throws with the client's texts.
int32_t readHeader(KzPDU& response, const std::string& who) {
  const int32_t type = response.GetInt32();
  if (type != kResponseType) {
    throw KzException(who + "::invalid response type ->" + std::to_string(type));
  }
  return response.GetInt32();
}

void checkCode(int32_t code, const std::string& who) {
  if (code != kSuccess) throw KzException(who + "::ParseResponse - invalid response code");
}

void require(bool written, const std::string& what) {
  if (!written) throw KzException(what);
}

[[noreturn]] void emptyHandler() { throw KzException("call to empty boost::function"); }

}  // namespace

KzConfigClient::KzConfigClient(int32_t component, const std::string& name, int32_t pid,
                               bool alternative)
    : component_(component), name_(name), pid_(pidOrSelf(pid)), alternative_(alternative) {}

bool KzConfigClient::BuildRequest(KzPDU& request) {
  return request.AddInt32(alternative_ ? kAlternativeRequestType : kRequestType) &&
         request.AddInt32(component_) && request.AddString(name_) && request.AddInt32(pid_);
}

bool KzConfigClient::ParseResponse(KzPDU& response) {
  values_.clear();
  error_.clear();
  try {
    const int32_t code = readHeader(response, "ConfigClient");
    code_ = code;
    checkCode(code, "ConfigClient");
    const uint32_t count = static_cast<uint32_t>(response.GetInt32());
    for (uint32_t i = 0; i < count; ++i) {
      std::string name = response.GetString();
      values_[name] = response.GetString();
    }
    return true;
  } catch (const std::exception& e) {
    error_ = e.what();
    ipcLog().error("in parse client response: " + Utils::printable(error_));
    return false;
  }
}

std::string KzConfigClient::GetValue(const std::string& name) const {
  const auto it = values_.find(name);
  if (it == values_.end()) {
    ipcLog().error("ConfigClient::GetValue(" + name + ") - unknown parameter");
    throw KzException("ConfigClient::GetValue(" + name + ") error - unknown parameter");
  }
  if (it->second.empty()) {
    ipcLog().error("ConfigClient::GetValue(" + name + ") - undefined value");
    throw KzException("ConfigClient::GetValue(" + name + ") error - value doesn't defined");
  }
  return it->second;
}

KzConfigStoreClient::KzConfigStoreClient(int32_t component, const std::string& name, int32_t pid,
                                         const ConfigValues& settings)
    : component_(component), name_(name), pid_(pidOrSelf(pid)), settings_(settings) {}

bool KzConfigStoreClient::BuildRequest(KzPDU& request) {
  if (!request.AddInt32(component_) || !request.AddString(name_) || !request.AddInt32(pid_) ||
      !request.AddInt32(static_cast<int32_t>(settings_.size()))) {
    return false;
  }
  for (const auto& kv : settings_) {
    if (!request.AddString(kv.first) || !request.AddString(kv.second)) return false;
  }
  return true;
}

bool KzConfigStoreClient::ParseResponse(KzPDU& response) {
  error_.clear();
  try {
    code_ = readHeader(response, "ConfigStoreClient");
    checkCode(code_, "ConfigStoreClient");
    return true;
  } catch (const std::exception& e) {
    error_ = e.what();
    ipcLog().error("in parse client response: " + Utils::printable(error_));
    return false;
  }
}

bool KzConfigServer::BuildResponse(KzPDU& request, KzPDU& response) {
  try {
    ConfigRequester who;
    who.type = request.GetInt32();
    if (who.type != kRequestType && who.type != kAlternativeRequestType) {
      throw KzException("ConfigServer::invalid request type ->" + std::to_string(who.type));
    }
    who.component = request.GetInt32();
    who.name = request.GetString();
    who.pid = request.GetInt32();
    who.remote = request.GetRemoteAddressAsString();
    if (!handler_) emptyHandler();
    ConfigValues values;
    const int32_t code = handler_(who, values) ? kSuccess : kFailure;
    require(response.AddInt32(kResponseType), "ConfigServer::BuildResponse - error on header");
    require(response.AddInt32(code) && response.AddInt32(static_cast<int32_t>(values.size())),
            "ConfigServer::BuildResponse - error on header");
    for (const auto& kv : values) {
      require(response.AddString(kv.first) && response.AddString(kv.second),
              "ConfigServer::BuildResponse - error on option '" + kv.first + "'");
    }
    return true;
  } catch (const std::exception& e) {
    ipcLog().error("in build response to client: " + Utils::printable(e.what()));
    throw;
  }
}

bool KzConfigStoreServer::BuildResponse(KzPDU& request, KzPDU& response) {
  try {
    ConfigRequester who;
    who.component = request.GetInt32();
    who.name = request.GetString();
    who.pid = request.GetInt32();
    who.remote = request.GetRemoteAddressAsString();
    const uint32_t count = static_cast<uint32_t>(request.GetInt32());
    ConfigValues settings;
    for (uint32_t i = 0; i < count; ++i) {
      std::string name = request.GetString();
      settings[name] = request.GetString();
    }
    if (!handler_) emptyHandler();
    const int32_t code = handler_(who, settings) ? kSuccess : kFailure;
    require(response.AddInt32(kResponseType) && response.AddInt32(code),
            "ConfigServer::BuildResponse - error on header");
    return true;
  } catch (const std::exception& e) {
    ipcLog().error("in build response to client: " + Utils::printable(e.what()));
    throw;
  }
}

bool KzConfigServer::ScanRequest(ipc::KzRequestScanner& scanner) const {
  scanner.Int32();
  scanner.Int32();
  scanner.String();
  scanner.Int32();
  return true;
}

bool KzConfigStoreServer::ScanRequest(ipc::KzRequestScanner& scanner) const {
  scanner.Int32();
  scanner.String();
  scanner.Int32();
  const uint32_t count = static_cast<uint32_t>(scanner.Int32());
  for (uint64_t i = 0; i < 2 * static_cast<uint64_t>(count); ++i) scanner.String();
  return true;
}

}  // namespace postd
}  // namespace korza
