#include "ipc/kz_ddp_unit.h"

#include <sys/stat.h>

#include <cerrno>

#include "base/kz_exception.h"
#include "base/log.h"
#include "base/utils.h"

namespace korza {
namespace ipc {

using base::KzException;
using base::KzParameterError;
using base::KzSystemError;

namespace {

// Strings arrive in pieces of at most this size, so memory follows the
// bytes actually received rather than the count the peer announced.
const size_t kReceiveChunk = size_t{64} * 1024;

uint32_t decode32(const unsigned char* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

}  // namespace

bool KzDdpUnit::SetConnection(const KzIpcPtr& connection) {
  connection_ = connection;
  return true;
}

bool KzDdpUnit::SetDeadline(const KzDeadline& deadline) {
  deadline_ = deadline;
  return true;
}

bool KzDdpUnit::Clear() {
  buffer_.clear();
  received_ = 0;
  return true;
}

void KzDdpUnit::Spend(uint64_t length) {
  if (length > receive_limit_ - received_) {
    throw KzException("KzDdpUnit: the message exceeds the limit of " +
                      std::to_string(receive_limit_) + " bytes");
  }
  received_ += length;
}

void KzDdpUnit::RequireConnection(const std::string& where) const {
  if (!connection_) throw KzParameterError(where, "connection", "null");
}

bool KzDdpUnit::Push() {
  RequireConnection("DdpUnit::Push");
  if (!connection_->Send(buffer_, deadline_.Remaining())) throw KzException("Push: Send");
  buffer_.clear();
  return true;
}

void KzDdpUnit::AppendUint32(uint32_t value) {
  const char bytes[4] = {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
                         static_cast<char>(value >> 8), static_cast<char>(value)};
  buffer_.append(bytes, 4);
}

bool KzDdpUnit::AddBool(bool value) { return AddInt32(value ? 1 : 0); }

bool KzDdpUnit::AddInt32(int32_t value) {
  AppendUint32(static_cast<uint32_t>(value));
  return true;
}

bool KzDdpUnit::AddInt64(int64_t value) {
  const uint64_t v = static_cast<uint64_t>(value);
  buffer_.reserve(buffer_.size() + 8);
  AppendUint32(static_cast<uint32_t>(v >> 32));
  AppendUint32(static_cast<uint32_t>(v));
  return true;
}

bool KzDdpUnit::AddString(const std::string& value) {
  return AddBuffer(value.data(), value.size());
}

bool KzDdpUnit::AddBuffer(const void* data, size_t length) {
  buffer_.reserve(buffer_.size() + 4 + length);
  AppendUint32(static_cast<uint32_t>(length));
  buffer_.append(static_cast<const char*>(data), length);
  return true;
}

bool KzDdpUnit::AddVector(const std::vector<std::string>& value) {
  size_t size = 4;
  for (const auto& s : value) size += 4 + s.size();
  buffer_.reserve(buffer_.size() + size);
  AppendUint32(static_cast<uint32_t>(value.size()));
  for (const auto& s : value) AddString(s);
  return true;
}

bool KzDdpUnit::AddRaw(const std::string& value) { return AddRaw(value.data(), value.size()); }

bool KzDdpUnit::AddRaw(const void* data, size_t length) {
  buffer_.append(static_cast<const char*>(data), length);
  return true;
}

bool KzDdpUnit::AddFile(const std::string& path, bool local_mode) {
  AddString(path);
  if (local_mode) {
    if (!AddInt32(0)) throw KzException("AddFile: AddInt32 in local mode");
    return true;
  }
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    const int err = errno;
    ipcLog().error("AddFile(" + path + " " + "0" +
                   ") - failed to stat file: " + Utils::errorText(err));
    throw KzSystemError("AddFile(" + path + ")", err);
  }
  if (!AddInt32(static_cast<int32_t>(st.st_size))) throw KzException("AddFile: AddInt32");
  if (!SendFileAfter(path, 0, static_cast<size_t>(st.st_size))) {
    throw KzException("AddFile: SendFile");
  }
  return true;
}

bool KzDdpUnit::SendFileAfter(const std::string& path, off_t offset, size_t length) {
  Push();
  return connection_->SendFile(path, offset, length, deadline_.Remaining());
}

bool KzDdpUnit::AddStringFromFile(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    const int err = errno;
    ipcLog().error("AddStringFromFile(" + path +
                   ") - failed to stat file: " + Utils::errorText(err));
    throw KzSystemError("AddStringFromFile(" + path + ")", err);
  }
  if (!AddInt32(static_cast<int32_t>(st.st_size))) {
    throw KzException("AddStringFromFile: AddInt32");
  }
  if (!SendFileAfter(path, 0, static_cast<size_t>(st.st_size))) {
    throw KzException("AddStringFromFile: SendFile");
  }
  return true;
}

bool KzDdpUnit::AddUnit(const KzPDU& other) { return AddRaw(other.GetData()); }

bool KzDdpUnit::ReceiveExactly(void* data, size_t length) {
  Spend(length);
  size_t n = length;
  return connection_->Receive(data, &n, deadline_.Remaining());
}

bool KzDdpUnit::GetBool() { return GetInt32() != 0; }

int32_t KzDdpUnit::GetInt32() {
  RequireConnection("DdpUnit::GetInt32");
  unsigned char bytes[4];
  if (!ReceiveExactly(bytes, 4)) throw KzException("GetInt32: Receive");
  return static_cast<int32_t>(decode32(bytes));
}

int64_t KzDdpUnit::GetInt64() {
  RequireConnection("DdpUnit::GetInt64");
  unsigned char bytes[8];
  if (!ReceiveExactly(bytes, 8)) throw KzException("GetInt64: Receive");
  return static_cast<int64_t>((static_cast<uint64_t>(decode32(bytes)) << 32) | decode32(bytes + 4));
}

std::string KzDdpUnit::GetString() {
  RequireConnection("DdpUnit::GetString");
  const uint32_t length = static_cast<uint32_t>(GetInt32());
  if (length > kMaxStringLength) {
    throw KzException("KzDdpUnit::GetString: the string length " + std::to_string(length) +
                      " exceeds the limit of " + std::to_string(kMaxStringLength) + " bytes");
  }
  if (length > receive_limit_ - received_) Spend(length);
  std::string value;
  while (value.size() < length) {
    const size_t old = value.size();
    const size_t piece = std::min<size_t>(kReceiveChunk, length - old);
    value.resize(old + piece);
    if (!ReceiveExactly(&value[old], piece)) {
      throw KzException("KzDdpUnit::GetString: error in receiving string with length " +
                        std::to_string(length));
    }
  }
  return value;
}

void KzDdpUnit::GetVector(std::vector<std::string>* value) {
  RequireConnection("DdpUnit::GetVector");
  const uint32_t count = static_cast<uint32_t>(GetInt32());
  if (count > kMaxVectorCount) {
    throw KzException("KzDdpUnit::GetVector: the element count " + std::to_string(count) +
                      " exceeds the limit of " + std::to_string(kMaxVectorCount));
  }
  value->clear();
  // Each element takes at least four bytes on the wire; reserve only what a
  // modest message needs and let the vector grow with real data.
  value->reserve(std::min<uint32_t>(count, 1024));
  for (uint32_t i = 0; i < count; ++i) value->push_back(GetString());
}

bool KzDdpUnit::GetBuffer(void* data, size_t length) {
  const std::string where = "DdpUnit::GetBuffer(" + std::to_string(length) + ")";
  RequireConnection(where);
  if (data == nullptr) throw KzParameterError(where, "buffer", "null");
  return ReceiveExactly(data, length);
}

bool KzDdpUnit::GetBuffer(std::string* data) {
  RequireConnection("DdpUnit::GetBuffer(" + std::to_string(data->size()) + ")");
  if (data->empty()) return true;
  return ReceiveExactly(&(*data)[0], data->size());
}

std::string KzDdpUnit::GetLocalAddressAsString() const {
  if (!connection_ || !connection_->GetLocalAddress()) return "*";
  return connection_->GetLocalAddress()->GetSpec();
}

std::string KzDdpUnit::GetRemoteAddressAsString() const {
  if (!connection_ || !connection_->GetRemoteAddress()) return "*";
  return connection_->GetRemoteAddress()->GetSpec();
}

}  // namespace ipc
}  // namespace korza
