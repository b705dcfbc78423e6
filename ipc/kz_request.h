// Requests as a server receives them: the bytes a client has sent so far,
// a scanner that tells from those bytes whether a request is complete, and
// the channel through which a server reads a request it already holds.
//
// The server pool reads what each connection sends without blocking and
// keeps it per connection until a scan finds the request complete; only
// then is the connection handed to a serving thread, which decodes the
// request from the kept bytes. A slow or silent client therefore never
// holds a serving thread.
//
// Thread safety: a scanner and a buffered channel belong to one thread at a
// time.
#ifndef KORZA_IPC_KZ_REQUEST_H_
#define KORZA_IPC_KZ_REQUEST_H_

#include <cstdint>
#include <functional>
#include <string>

#include "ipc/kz_ipc.h"

namespace korza {
namespace ipc {

// What a look at the bytes received so far says.
struct KzRequestCheck {
  enum State { kIncomplete, kComplete, kInvalid };
  State state = kIncomplete;
  // kIncomplete: no new verdict before this many bytes have arrived.
  uint64_t needed = 0;
  // kComplete: the protocol identifier of the request.
  uint32_t id = 0;
  // kInvalid: what is wrong with it.
  std::string error;
};

// Judges the bytes of one connection from `offset` on (where a request
// starts); `needed` counts from the start of `data`.
using KzRequestChecker = std::function<KzRequestCheck(const std::string& data, size_t offset)>;
// Which protocol identifiers a serving thread takes; empty takes all.
using KzRequestFilter = std::function<bool(uint32_t id)>;

// Walks the fields of a request held in memory, in the wire encoding of
// kz_ddp_unit.h, without copying strings. Thrown when the bytes end before
// a field does:
struct KzRequestIncomplete {
  uint64_t needed;  // the bytes that field needs in all
};

class KzRequestScanner {
 public:
  // Scans `data` from `offset`; a request longer than `limit` bytes (from
  // `offset`) is refused.
  KzRequestScanner(const std::string& data, size_t offset, uint64_t limit)
      : data_(data), start_(offset), position_(offset), limit_(limit) {}

  // Each throws KzRequestIncomplete when the field has not fully arrived
  // and base::KzException when it breaks a limit.
  int32_t Int32();
  int64_t Int64();
  // A string (count and bytes); gives the count.
  uint32_t String();
  // A vector of strings.
  void Vector();
  // `bytes` raw bytes (for example `count` fixed-size fields at once).
  void Skip(uint64_t bytes);

 private:
  // Claims `length` bytes; returns where they start.
  size_t Take(uint64_t length);

  const std::string& data_;
  const size_t start_;
  size_t position_;
  const uint64_t limit_;
};

// A server's view of an accepted connection whose request has already
// arrived (in part or whole): reads are served from the kept bytes first,
// then from the connection. What cannot be sent at once is kept for the
// pool to send later, so a client that does not read its answers never
// holds a serving thread; everything else goes to the connection.
class KzBufferedChannel : public KzIfIPC {
 public:
  // The kept bytes are those of `received` from `read` on.
  KzBufferedChannel(KzIpcPtr inner, std::string received, size_t read = 0)
      : inner_(std::move(inner)), data_(std::move(received)), read_(read) {}

  const KzIpcPtr& Inner() const { return inner_; }
  // Hands back the kept bytes: those from *read on are not read yet (a
  // request the client sent early). The channel keeps none.
  void Detach(std::string* data, size_t* read);
  // Hands back what is still to be sent.
  std::string TakeOutput() { return std::move(out_); }
  size_t Unread() const { return data_.size() - read_; }

  void Create() override { inner_->Create(); }
  bool Connect(const KzTimeout& timeout) override { return inner_->Connect(timeout); }
  void Listen(int backlog) override { inner_->Listen(backlog); }
  std::shared_ptr<KzIfIPC> Accept(const KzTimeout& timeout) override {
    return inner_->Accept(timeout);
  }
  bool Send(const std::string& data, const KzTimeout& timeout) override {
    size_t length = data.size();
    return Send(data.data(), &length, timeout);
  }
  bool Receive(std::string* data, const KzTimeout& timeout) override;
  // Sends what the connection takes now and keeps the rest; true.
  bool Send(const void* data, size_t* length, const KzTimeout& timeout) override;
  bool Receive(void* data, size_t* length, const KzTimeout& timeout) override;
  // These send what is kept first, waiting within `timeout`.
  bool SendFile(const std::string& path, off_t offset, size_t length,
                const KzTimeout& timeout) override {
    return FlushOutput(timeout) && inner_->SendFile(path, offset, length, timeout);
  }
  bool SendFromFileHandle(int fd, off_t offset, size_t length, const KzTimeout& timeout) override {
    return FlushOutput(timeout) && inner_->SendFromFileHandle(fd, offset, length, timeout);
  }
  void Close() override { inner_->Close(); }
  int GetHandle() const override { return inner_->GetHandle(); }
  bool IsListening() const override { return inner_->IsListening(); }
  bool IsAccepted() const override { return inner_->IsAccepted(); }
  std::shared_ptr<KzIpcAddress> GetLocalAddress() const override {
    return inner_->GetLocalAddress();
  }
  std::shared_ptr<KzIpcAddress> GetRemoteAddress() const override {
    return inner_->GetRemoteAddress();
  }
  void SetLocalAddress(const std::shared_ptr<KzIpcAddress>& address) override {
    inner_->SetLocalAddress(address);
  }
  void SetRemoteAddress(const std::shared_ptr<KzIpcAddress>& address) override {
    inner_->SetRemoteAddress(address);
  }
  std::string Text() const override { return inner_->Text(); }

 private:
  bool FlushOutput(const KzTimeout& timeout);

  KzIpcPtr inner_;
  std::string data_;
  size_t read_;
  std::string out_;
};

}  // namespace ipc
}  // namespace korza

#endif  // KORZA_IPC_KZ_REQUEST_H_
