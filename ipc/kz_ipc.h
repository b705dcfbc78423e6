// The IPC channel: a stream connection between two processes. Operations
// return true on success and false when their time-out passes; every error
// is an exception (KzIpcErrorClosedByPeer when the peer closed,
// KzIpcErrorClosed for a dead descriptor, KzSystemError for a failed system
// call). A failed operation leaves the descriptor open; the owner closes and
// discards the channel.
//
// Thread safety: a channel is used by one thread at a time.
#ifndef KORZA_IPC_KZ_IPC_H_
#define KORZA_IPC_KZ_IPC_H_

#include <sys/types.h>

#include <memory>
#include <string>

#include "base/kz_timeout.h"
#include "ipc/kz_address.h"

namespace korza {
namespace ipc {

using base::KzTimeout;

class KzIfIPC {
 public:
  virtual ~KzIfIPC() = default;

  // Makes the socket and, for a listening channel, binds it.
  virtual void Create() = 0;
  // Creates the socket if needed and connects to the remote address.
  virtual bool Connect(const KzTimeout& timeout) = 0;
  virtual void Listen(int backlog) = 0;
  // The accepted channel, or null on time-out.
  virtual std::shared_ptr<KzIfIPC> Accept(const KzTimeout& timeout) = 0;
  virtual bool Send(const std::string& data, const KzTimeout& timeout) = 0;
  // Receives exactly data->size() bytes into *data.
  virtual bool Receive(std::string* data, const KzTimeout& timeout) = 0;
  // *length in: bytes wanted; out: bytes transferred.
  virtual bool Send(const void* data, size_t* length, const KzTimeout& timeout) = 0;
  virtual bool Receive(void* data, size_t* length, const KzTimeout& timeout) = 0;
  virtual bool SendFile(const std::string& path, off_t offset, size_t length,
                        const KzTimeout& timeout) = 0;
  virtual bool SendFromFileHandle(int fd, off_t offset, size_t length,
                                  const KzTimeout& timeout) = 0;
  virtual void Close() = 0;

  virtual int GetHandle() const = 0;
  virtual bool IsListening() const = 0;
  virtual bool IsAccepted() const = 0;
  virtual std::shared_ptr<KzIpcAddress> GetLocalAddress() const = 0;
  virtual std::shared_ptr<KzIpcAddress> GetRemoteAddress() const = 0;
  virtual void SetLocalAddress(const std::shared_ptr<KzIpcAddress>& address) = 0;
  virtual void SetRemoteAddress(const std::shared_ptr<KzIpcAddress>& address) = 0;
  // "a listening connection (fd->N, local->SPEC, server->SPEC)" and the
  // like; used in every log line about the channel.
  virtual std::string Text() const = 0;

  const KzTimeout& DefaultTimeout() const { return default_timeout_; }
  void SetDefaultTimeout(const KzTimeout& t) { default_timeout_ = t; }

 protected:
  KzTimeout default_timeout_ = base::kTimeoutInfinite;
};

using KzIPC = KzIfIPC;
using KzIpcPtr = std::shared_ptr<KzIPC>;

}  // namespace ipc
}  // namespace korza

#endif  // KORZA_IPC_KZ_IPC_H_
