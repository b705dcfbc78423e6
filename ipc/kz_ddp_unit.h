// The DDP unit: writes and reads the fields of a message. There is no
// header, length or type tag; a message is its fields in protocol order:
//   32-bit integer  4 bytes big-endian
//   64-bit integer  8 bytes big-endian
//   boolean         a 32-bit integer, 1 or 0 (any non-zero reads as true)
//   string/buffer   32-bit big-endian byte count, then the bytes
//   vector          32-bit big-endian element count, then the strings
//   raw bytes       the bytes only
//   file            path as a string, 32-bit size, the content
//   file, local     path as a string, a 32-bit zero
//   string of file  32-bit size, the content
// Adds append to an output buffer that Push sends in one call; Gets read
// straight from the connection. Every send and receive is bounded by the
// unit's deadline. Reads of counts are capped (kMaxStringLength,
// kMaxVectorCount) so a hostile peer cannot make the reader allocate without
// limit; memory grows only as announced bytes actually arrive.
//
// Thread safety: a unit belongs to one thread at a time.
#ifndef KORZA_IPC_KZ_DDP_UNIT_H_
#define KORZA_IPC_KZ_DDP_UNIT_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/kz_timeout.h"
#include "ipc/kz_ipc.h"

namespace korza {
namespace ipc {

using base::KzDeadline;

class KzPDU {
 public:
  virtual ~KzPDU() = default;

  virtual bool SetConnection(const KzIpcPtr& connection) = 0;
  virtual KzIpcPtr GetConnection() const = 0;
  virtual bool SetDeadline(const KzDeadline& deadline) = 0;
  virtual bool Clear() = 0;
  virtual bool Push() = 0;
  virtual bool Flush() = 0;
  virtual const std::string& GetData() const = 0;

  virtual bool AddBool(bool value) = 0;
  virtual bool AddInt32(int32_t value) = 0;
  virtual bool AddInt64(int64_t value) = 0;
  virtual bool AddString(const std::string& value) = 0;
  virtual bool AddBuffer(const void* data, size_t length) = 0;
  virtual bool AddVector(const std::vector<std::string>& value) = 0;
  virtual bool AddRaw(const std::string& value) = 0;
  virtual bool AddRaw(const void* data, size_t length) = 0;
  virtual bool AddFile(const std::string& path, bool local_mode) = 0;
  virtual bool SendFileAfter(const std::string& path, off_t offset, size_t length) = 0;
  virtual bool AddStringFromFile(const std::string& path) = 0;
  virtual bool AddUnit(const KzPDU& other) = 0;
  // Whether more fields may be added, and whether the output may be sent.
  virtual bool IsAddAllowed() const = 0;
  virtual bool IsPushAllowed() const = 0;

  virtual bool GetBool() = 0;
  virtual int32_t GetInt32() = 0;
  virtual int64_t GetInt64() = 0;
  virtual std::string GetString() = 0;
  virtual void GetVector(std::vector<std::string>* value) = 0;
  virtual bool GetBuffer(void* data, size_t length) = 0;
  virtual bool GetBuffer(std::string* data) = 0;
  // Whether fields may be read.
  virtual bool IsGetAllowed() const = 0;

  virtual std::string GetLocalAddressAsString() const = 0;
  virtual std::string GetRemoteAddressAsString() const = 0;
};

using KzPduPtr = std::shared_ptr<KzPDU>;

class KzDdpUnit : public KzPDU {
 public:
  static const uint32_t kMaxStringLength = 16u * 1024 * 1024;
  static const uint32_t kMaxVectorCount = 1024u * 1024;

  KzDdpUnit() : deadline_(base::kDeadlineInfinite) {}

  bool SetConnection(const KzIpcPtr& connection) override;
  KzIpcPtr GetConnection() const override { return connection_; }
  bool SetDeadline(const KzDeadline& deadline) override;
  bool Clear() override;
  // Sends the buffer and empties it. Throws KzParameterError without a
  // connection (the buffer is kept), KzException "Push: Send" on time-out;
  // channel errors pass through.
  bool Push() override;
  bool Flush() override { return Push(); }
  const std::string& GetData() const override { return buffer_; }

  bool AddBool(bool value) override;
  bool AddInt32(int32_t value) override;
  bool AddInt64(int64_t value) override;
  bool AddString(const std::string& value) override;
  bool AddBuffer(const void* data, size_t length) override;
  bool AddVector(const std::vector<std::string>& value) override;
  bool AddRaw(const std::string& value) override;
  bool AddRaw(const void* data, size_t length) override;
  // Pushes the fields so far, then sends the file content straight from the
  // file (not in local mode). Throws KzSystemError when stat fails.
  bool AddFile(const std::string& path, bool local_mode) override;
  bool SendFileAfter(const std::string& path, off_t offset, size_t length) override;
  bool AddStringFromFile(const std::string& path) override;
  bool AddUnit(const KzPDU& other) override;
  // A unit limits neither its size nor its use: always true. Without a
  // connection, Push and the Get operations still throw as described above.
  bool IsAddAllowed() const override { return true; }
  bool IsPushAllowed() const override { return true; }

  bool GetBool() override;
  int32_t GetInt32() override;
  int64_t GetInt64() override;
  // Throws KzException when the announced length exceeds kMaxStringLength.
  std::string GetString() override;
  // Throws KzException when the announced count exceeds kMaxVectorCount.
  void GetVector(std::vector<std::string>* value) override;
  bool GetBuffer(void* data, size_t length) override;
  bool GetBuffer(std::string* data) override;
  bool IsGetAllowed() const override { return true; }

  std::string GetLocalAddressAsString() const override;
  std::string GetRemoteAddressAsString() const override;

  // Caps the bytes all Get operations of this unit may receive in total
  // (until Clear); a read beyond it, or a string announced longer than what
  // is left, throws KzException before anything is allocated for it. No
  // limit by default.
  void SetReceiveLimit(uint64_t bytes) { receive_limit_ = bytes; }

 private:
  void AppendUint32(uint32_t value);
  // Receives exactly `length` bytes within the deadline; false on time-out.
  bool ReceiveExactly(void* data, size_t length);
  void RequireConnection(const std::string& where) const;

  // Throws unless `length` more bytes fit the receive limit.
  void Spend(uint64_t length);

  std::string buffer_;
  KzIpcPtr connection_;
  KzDeadline deadline_;
  uint64_t receive_limit_ = UINT64_MAX;
  uint64_t received_ = 0;
};

}  // namespace ipc
}  // namespace korza

#endif  // KORZA_IPC_KZ_DDP_UNIT_H_
