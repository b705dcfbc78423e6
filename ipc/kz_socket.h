// Socket channels: KzSocket does all I/O over POSIX calls, every wait
// bounded by poll() and a time-out; KzUnixSocket and KzInetSocket add how
// the socket is made and bound for their address kind.
//
// Descriptors are close-on-exec (the daemon forks children) and, as made by
// the factory, non-blocking. Sends never raise SIGPIPE.
//
// Thread safety: a channel is used by one thread at a time.
#ifndef KORZA_IPC_KZ_SOCKET_H_
#define KORZA_IPC_KZ_SOCKET_H_

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

#include "ipc/kz_ipc.h"

namespace korza {
namespace ipc {

class KzSocket : public KzIPC {
 public:
  KzSocket() = default;
  ~KzSocket() override;
  KzSocket(const KzSocket&) = delete;
  KzSocket& operator=(const KzSocket&) = delete;

  bool Connect(const KzTimeout& timeout) override;
  void Listen(int backlog) override;
  std::shared_ptr<KzIfIPC> Accept(const KzTimeout& timeout) override;
  bool Send(const std::string& data, const KzTimeout& timeout) override;
  bool Receive(std::string* data, const KzTimeout& timeout) override;
  bool Send(const void* data, size_t* length, const KzTimeout& timeout) override;
  bool Receive(void* data, size_t* length, const KzTimeout& timeout) override;
  bool SendFile(const std::string& path, off_t offset, size_t length,
                const KzTimeout& timeout) override;
  bool SendFromFileHandle(int fd, off_t offset, size_t length, const KzTimeout& timeout) override;
  void Close() override;

  int GetHandle() const override { return handle_; }
  bool IsListening() const override { return listening_; }
  bool IsAccepted() const override { return accepted_; }
  std::shared_ptr<KzIpcAddress> GetLocalAddress() const override { return local_; }
  std::shared_ptr<KzIpcAddress> GetRemoteAddress() const override { return remote_; }
  // A channel with a local address and no remote one listens.
  void SetLocalAddress(const std::shared_ptr<KzIpcAddress>& address) override;
  void SetRemoteAddress(const std::shared_ptr<KzIpcAddress>& address) override;
  std::string Text() const override;

  // Waits until one of `events` is possible. False on time-out. Raises
  // KzIpcErrorClosed for an invalid handle, POLLERR or POLLNVAL, and
  // KzIpcErrorClosedByPeer for POLLHUP unless a wanted event came with it
  // (data that arrived before the close is still read).
  bool IsReady(short events, const KzTimeout& timeout);
  std::shared_ptr<KzIpcAddress> GetLocalSocketAddress() const;
  std::shared_ptr<KzIpcAddress> GetRemoteSocketAddress() const;
  std::shared_ptr<KzSocket> Dup() const;

  void ApplyOptions();
  void SetOption(int option, int value, const std::string& name);
  void SetFlag(int flag);
  void ClearFlag(int flag);
  void SetNonBlocking(bool on) { non_blocking_ = on; }

 protected:
  // A new, unopened channel of the same kind.
  virtual std::shared_ptr<KzSocket> NewChannel() const = 0;
  virtual std::shared_ptr<KzIpcAddress> AddressFrom(const struct sockaddr* addr,
                                                    socklen_t len) const = 0;
  // socket(), close-on-exec, ApplyOptions. Throws KzSystemError(what).
  void OpenHandle(int family, const std::string& what);

  int handle_ = -1;
  bool non_blocking_ = true;
  bool listening_ = false;
  bool accepted_ = false;
  std::shared_ptr<KzIpcAddress> local_;
  std::shared_ptr<KzIpcAddress> remote_;
};

class KzUnixSocket : public KzSocket {
 public:
  static const uint16_t kDefaultMode = 0770;

  KzUnixSocket() = default;
  // Removes the socket file the channel bound, as Close does.
  ~KzUnixSocket() override;

  // Makes the socket. A listening one, and a client one with a local
  // address, is bound to its local path (replacing a stale socket file that
  // nobody listens on) and given mode().
  void Create() override;
  bool Connect(const KzTimeout& timeout) override;
  // Closes the socket; a socket file this channel bound is removed if it
  // is still that file (same device and inode, not followed if a link).
  void Close() override;
  // Whether the local path is a socket file that no process listens on.
  bool IsStalled();
  void ChMod(uint16_t mode);
  uint16_t mode() const { return mode_; }
  void SetMode(uint16_t mode) { mode_ = mode; }

 protected:
  std::shared_ptr<KzSocket> NewChannel() const override;
  std::shared_ptr<KzIpcAddress> AddressFrom(const struct sockaddr* addr,
                                            socklen_t len) const override;

 private:
  // Records the socket file just bound at `path`, then sets its mode.
  void Bound(const std::string& path);
  void RemoveBoundFile();

  uint16_t mode_ = kDefaultMode;
  bool bound_ = false;
  dev_t bound_dev_ = 0;
  ino_t bound_ino_ = 0;
};

class KzInetSocket : public KzSocket {
 public:
  // Makes the socket; a listening one, and a client one with a local
  // address, is bound to that address.
  void Create() override;

 protected:
  std::shared_ptr<KzSocket> NewChannel() const override;
  std::shared_ptr<KzIpcAddress> AddressFrom(const struct sockaddr* addr,
                                            socklen_t len) const override;
};

}  // namespace ipc
}  // namespace korza

#endif  // KORZA_IPC_KZ_SOCKET_H_
