#include "ipc/kz_address.h"

#include <netinet/in.h>

#include <algorithm>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <cctype>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "base/log.h"

namespace korza {
namespace ipc {

namespace {

using boost::asio::ip::tcp;

std::string endpointText(const tcp::endpoint& ep) {
  std::ostringstream out;
  out << ep;
  return out.str();
}

bool startsWith(const std::string& text, const char* prefix) {
  return text.compare(0, strlen(prefix), prefix) == 0;
}

}  // namespace

bool KzUnixSocketAddress::Parse() {
  domain_ = kInvalid;
  if (startsWith(spec_, "local:")) {
    path_ = spec_.substr(6);
  } else if (startsWith(spec_, "unix:")) {
    path_ = spec_.substr(5);
  } else {
    ipcLog().debug("UnixSocketAddress::Parse(" + spec_ +
                   ") failed - specifiers 'unix:' or 'local:' were not found");
    return false;
  }
  Fill();
  domain_ = kUnix;
  return true;
}

void KzUnixSocketAddress::Rebuild() { spec_ = "local:" + path_; }

void KzUnixSocketAddress::SetPath(const std::string& path) {
  path_ = path;
  Fill();
  domain_ = kUnix;
  Rebuild();
}

void KzUnixSocketAddress::Fill() {
  memset(&addr_, 0, sizeof addr_);
  addr_.sun_family = AF_UNIX;
  // A path that does not fit is refused when a socket uses the address.
  if (PathFits()) memcpy(addr_.sun_path, path_.data(), path_.size());
}

bool KzUnixSocketAddress::Equals(const KzIpcAddress& other) const {
  const auto* o = dynamic_cast<const KzUnixSocketAddress*>(&other);
  return o != nullptr && domain_ == kUnix && o->domain_ == kUnix && path_ == o->path_;
}

const struct sockaddr* KzUnixSocketAddress::SockAddr() const {
  return reinterpret_cast<const struct sockaddr*>(&addr_);
}

socklen_t KzUnixSocketAddress::SockAddrLen() const {
  return static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + path_.size() + 1);
}

std::shared_ptr<KzIpcAddress> KzUnixSocketAddress::Clone() const {
  return std::make_shared<KzUnixSocketAddress>(*this);
}

bool KzInetSocketAddress::Parse() {
  domain_ = kInvalid;
  LogClass& log = ipcLog();
  if (!startsWith(spec_, "inet:")) {
    log.debug("InetSocketAddress::Parse(" + spec_ + ") failed - specifier 'inet:' was not found");
    return false;
  }
  const size_t at = spec_.find('@');
  if (at == std::string::npos) {
    log.error("inet parser (" + spec_ + ") failed - separator '@' was not found");
    return false;
  }
  port_ = spec_.substr(5, at - 5);
  host_ = spec_.substr(at + 1);

  boost::asio::io_context io;
  tcp::resolver resolver(io);
  boost::system::error_code ec;
  unsigned short port = 0;
  if (port_.empty()) {
    ec = boost::asio::error::service_not_found;
  } else {
    // Only the service part matters here; a numeric wildcard host keeps the
    // lookup away from the name service.
    auto results = resolver.resolve(tcp::v4(), "0.0.0.0", port_,
                                    tcp::resolver::passive | tcp::resolver::numeric_host, ec);
    if (!ec && results.empty()) ec = boost::asio::error::service_not_found;
    if (!ec) port = results.begin()->endpoint().port();
  }
  if (ec) {
    log.error("can`t resolve port number " + port_ + ": " + ec.message());
    log.error("inet parser (" + spec_ + ") failed - cannot get port from " + port_);
    return false;
  }

  if (std::any_of(host_.begin(), host_.end(),
                  [](unsigned char c) { return std::isspace(c) != 0; })) {
    throw std::invalid_argument("wrong host name '" + host_ + "'");
  }
  auto results = resolver.resolve(host_, std::string(), ec);
  if (!ec && results.empty()) ec = boost::asio::error::host_not_found;
  if (ec) {
    log.error("resolve (" + host_ + ") failed: " + ec.message());
    log.error("inet parser (" + spec_ + ") failed - cannot get host from " + host_);
    return false;
  }
  tcp::endpoint ep = results.begin()->endpoint();
  ep.port(port);
  log.debug("InetSocket::Resolve(" + host_ + ") done to " + endpointText(ep));
  memset(&addr_, 0, sizeof addr_);
  memcpy(&addr_, ep.data(), ep.size());
  len_ = static_cast<socklen_t>(ep.size());
  domain_ = kInet;
  return true;
}

void KzInetSocketAddress::SetEndpoint(const struct sockaddr* addr, socklen_t len) {
  memset(&addr_, 0, sizeof addr_);
  len_ = std::min<socklen_t>(len, sizeof addr_);
  memcpy(&addr_, addr, len_);
  domain_ = kInet;
  Rebuild();
}

void KzInetSocketAddress::Rebuild() {
  tcp::endpoint ep;
  if (len_ > 0 && len_ <= ep.capacity()) {
    memcpy(ep.data(), &addr_, len_);
    ep.resize(len_);
  }
  spec_ = "inet:" + endpointText(ep);
}

bool KzInetSocketAddress::Equals(const KzIpcAddress& other) const {
  const auto* o = dynamic_cast<const KzInetSocketAddress*>(&other);
  return o != nullptr && domain_ == kInet && o->domain_ == kInet && len_ == o->len_ &&
         memcmp(&addr_, &o->addr_, len_) == 0;
}

std::shared_ptr<KzIpcAddress> KzInetSocketAddress::Clone() const {
  return std::make_shared<KzInetSocketAddress>(*this);
}

}  // namespace ipc
}  // namespace korza
