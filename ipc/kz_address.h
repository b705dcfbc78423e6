// Addresses of IPC endpoints, parsed from their specification text:
//   "local:PATH" or "unix:PATH"  a Unix-domain socket,
//   "inet:PORT@HOST"             a TCP socket (port and host are resolved),
//   "*" or ""                    no address.
// A wrong prefix makes Parse fail (domain 0) without throwing; the one
// parse-time exception is std::invalid_argument for a host name with white
// space in it.
//
// Thread safety: plain values; channels take copies (Clone), never shares.
#ifndef KORZA_IPC_KZ_ADDRESS_H_
#define KORZA_IPC_KZ_ADDRESS_H_

#include <sys/socket.h>
#include <sys/un.h>

#include <memory>
#include <string>

namespace korza {
namespace ipc {

class KzIpcAddress {
 public:
  enum Domain { kInvalid = 0, kUnix = AF_UNIX, kInet = AF_INET };

  virtual ~KzIpcAddress() = default;

  // Interprets spec(); sets the domain; returns success.
  virtual bool Parse() = 0;
  // Regenerates the text from the parsed or resolved parts.
  virtual void Rebuild() = 0;
  virtual const std::string& GetSpec() const { return spec_; }
  virtual int GetDomain() const { return domain_; }
  // Same kind and same endpoint.
  virtual bool Equals(const KzIpcAddress& other) const = 0;
  // The raw socket address; meaningful only when the domain is valid.
  virtual const struct sockaddr* SockAddr() const = 0;
  virtual socklen_t SockAddrLen() const = 0;
  virtual std::shared_ptr<KzIpcAddress> Clone() const = 0;
  // Assigns the text, then parses it.
  virtual bool SetSpec(const std::string& spec) {
    spec_ = spec;
    return Parse();
  }

 protected:
  std::string spec_;
  int domain_ = kInvalid;
};

class KzSocketAddress : public KzIpcAddress {};

class KzUnixSocketAddress : public KzSocketAddress {
 public:
  KzUnixSocketAddress() = default;
  explicit KzUnixSocketAddress(const std::string& spec) { spec_ = spec; }

  bool Parse() override;
  // spec = "local:" + path.
  void Rebuild() override;
  bool Equals(const KzIpcAddress& other) const override;
  const struct sockaddr* SockAddr() const override;
  socklen_t SockAddrLen() const override;
  std::shared_ptr<KzIpcAddress> Clone() const override;

  const std::string& path() const { return path_; }
  void SetPath(const std::string& path);
  // Whether the path fits a socket address.
  bool PathFits() const { return path_.size() < sizeof(addr_.sun_path); }

 private:
  void Fill();
  std::string path_;
  struct sockaddr_un addr_ {};
};

class KzInetSocketAddress : public KzSocketAddress {
 public:
  KzInetSocketAddress() = default;
  explicit KzInetSocketAddress(const std::string& spec) { spec_ = spec; }

  // Resolves PORT and HOST with the system resolver; failures are logged.
  bool Parse() override;
  // spec = "inet:" + ADDRESS + ":" + PORT of the resolved endpoint (IPv6 in
  // brackets). For display only; it does not parse back.
  void Rebuild() override;
  bool Equals(const KzIpcAddress& other) const override;
  const struct sockaddr* SockAddr() const override {
    return reinterpret_cast<const struct sockaddr*>(&addr_);
  }
  socklen_t SockAddrLen() const override { return len_; }
  std::shared_ptr<KzIpcAddress> Clone() const override;

  // Takes a resolved endpoint (for example the peer of an accepted
  // connection) and rebuilds the text from it.
  void SetEndpoint(const struct sockaddr* addr, socklen_t len);
  const std::string& port() const { return port_; }
  const std::string& host() const { return host_; }

 private:
  std::string port_;
  std::string host_;
  struct sockaddr_storage addr_ {};
  socklen_t len_ = 0;
};

}  // namespace ipc
}  // namespace korza

#endif  // KORZA_IPC_KZ_ADDRESS_H_
