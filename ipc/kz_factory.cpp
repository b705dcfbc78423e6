#include "ipc/kz_factory.h"

#include <cctype>
#include <fstream>

#include "base/kz_exception.h"
#include "base/log.h"
#include "ipc/kz_socket.h"

namespace korza {
namespace ipc {

using base::KzException;
using base::KzParameterError;

std::string SpecOf(const KzAddressPtr& address) { return address ? address->GetSpec() : "*"; }

KzAddressPtr KzIpcFactory::CreateAddress(const std::string& spec) const {
  if (spec.empty() || spec == "*") return nullptr;
  LogClass& log = ipcLog();
  log.debug("CreateAddress: creating ipc address by spec=" + spec + " ...");
  auto unix_address = std::make_shared<KzUnixSocketAddress>(spec);
  if (unix_address->Parse()) return unix_address;
  log.debug("CreateAddress:   this is not an unix address");
  auto inet_address = std::make_shared<KzInetSocketAddress>(spec);
  if (inet_address->Parse()) return inet_address;
  log.debug("CreateAddress: this is not an inet address");
  return nullptr;
}

KzIpcPtr KzIpcFactory::Create(const std::string& local_spec, const std::string& remote_spec) const {
  ipcLog().debug("IPC factory: creating ipc by spec { local=" + local_spec +
                 ", remote=" + remote_spec + " }");
  try {
    return CreateCommon(CreateAddress(local_spec), CreateAddress(remote_spec));
  } catch (const std::exception& e) {
    ipcLog().error(std::string("IPC factory: ") + e.what());
    return nullptr;
  }
}

KzIpcPtr KzIpcFactory::Create(const KzAddressPtr& local, const KzAddressPtr& remote) const {
  ipcLog().debug("IPC factory: creating ipc by addr { local=" + SpecOf(local) +
                 ", remote=" + SpecOf(remote) + " }");
  try {
    return CreateCommon(local ? local->Clone() : nullptr, remote ? remote->Clone() : nullptr);
  } catch (const std::exception& e) {
    ipcLog().error(std::string("IPC factory: ") + e.what());
    return nullptr;
  }
}

KzIpcPtr KzIpcFactory::CreateCommon(const KzAddressPtr& local, const KzAddressPtr& remote) const {
  if (local && remote && local->GetDomain() != remote->GetDomain()) {
    throw KzException("local and remote address have different protocols families");
  }
  if (!local && !remote) throw KzParameterError("local and remote addresses", "not defined");
  const int domain = local ? local->GetDomain() : remote->GetDomain();
  std::shared_ptr<KzSocket> channel;
  if (domain == KzIpcAddress::kUnix) {
    channel = std::make_shared<KzUnixSocket>();
  } else if (domain == KzIpcAddress::kInet) {
    channel = std::make_shared<KzInetSocket>();
  } else {
    throw KzException("Unknown address domain");
  }
  channel->SetLocalAddress(local);
  channel->SetRemoteAddress(remote);
  return channel;
}

KzAddressList ParsePidFile(const std::string& path) {
  LogClass& log = ipcLog();
  const std::string prefix = "Error during load and parse pid file '" + path + "': ";
  log.debug("ParsePidFile: parse pid file '" + path + "'...");
  std::ifstream in(path);
  if (!in) throw KzException(prefix + "can not open file for reading:" + " " + path);
  std::string line;
  if (!std::getline(in, line)) throw KzException(prefix + "can not find pid number");
  KzAddressList result;
  const KzIpcFactory& factory = KzIpcFactory::Instance();
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    const size_t colon = line.rfind(':');
    const std::string spec = colon == std::string::npos
                                 ? "local:" + line
                                 : "inet:" + line.substr(colon + 1) + "@" + line.substr(0, colon);
    KzAddressPtr address;
    try {
      address = factory.CreateAddress(spec);
    } catch (const std::exception& e) {
      throw KzException(prefix + e.what());
    }
    if (!address) throw KzException(prefix + "can`t create incorrect address: " + spec);
    log.debug("ParsePidFile: add address '" + spec + "' from pid file");
    result.push_back(address);
  }
  if (result.empty()) {
    throw KzException(prefix + "Can not find any address in pid file '" + path + "'");
  }
  log.debug("ParsePidFile: success parse pid file");
  return result;
}

KzAddressList ResolveAddressList(const std::vector<std::string>& specs) {
  KzAddressList result;
  const KzIpcFactory& factory = KzIpcFactory::Instance();
  for (const std::string& spec : specs) {
    const size_t colon = spec.find(':');
    std::string scheme;
    if (colon != std::string::npos) {
      for (char c : spec.substr(0, colon)) {
        if (!std::isspace(static_cast<unsigned char>(c))) {
          scheme += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
      }
    }
    if (scheme == "pid") {
      for (auto& a : ParsePidFile(spec.substr(colon + 1))) result.push_back(a);
      continue;
    }
    KzAddressPtr address;
    try {
      address = factory.CreateAddress(spec);
    } catch (const std::invalid_argument&) {
      address = nullptr;
    }
    if (!address) {
      ipcLog().error("can`t create incorrect address: " + spec);
      throw KzParameterError("Session::Open", "address", spec);
    }
    result.push_back(address);
  }
  return result;
}

}  // namespace ipc
}  // namespace korza
