#include "ipc/kz_request.h"

#include <algorithm>
#include <cstring>

#include "base/kz_exception.h"
#include "ipc/kz_ddp_unit.h"

namespace korza {
namespace ipc {

using base::KzException;

namespace {

uint32_t decode32(const std::string& data, size_t at) {
  const auto* p = reinterpret_cast<const unsigned char*>(data.data() + at);
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

}  // namespace

size_t KzRequestScanner::Take(uint64_t length) {
  const uint64_t used = position_ - start_;
  if (length > limit_ - used) {
    throw KzException("request: the message exceeds the limit of " + std::to_string(limit_) +
                      " bytes");
  }
  const uint64_t end = position_ + length;
  if (end > data_.size()) throw KzRequestIncomplete{end};
  const size_t at = position_;
  position_ = static_cast<size_t>(end);
  return at;
}

int32_t KzRequestScanner::Int32() { return static_cast<int32_t>(decode32(data_, Take(4))); }

int64_t KzRequestScanner::Int64() {
  const size_t at = Take(8);
  return static_cast<int64_t>((static_cast<uint64_t>(decode32(data_, at)) << 32) |
                              decode32(data_, at + 4));
}

uint32_t KzRequestScanner::String() {
  const uint32_t length = static_cast<uint32_t>(Int32());
  if (length > KzDdpUnit::kMaxStringLength) {
    throw KzException("request: the string length " + std::to_string(length) +
                      " exceeds the limit of " + std::to_string(KzDdpUnit::kMaxStringLength) +
                      " bytes");
  }
  Take(length);
  return length;
}

void KzRequestScanner::Vector() {
  const uint32_t count = static_cast<uint32_t>(Int32());
  if (count > KzDdpUnit::kMaxVectorCount) {
    throw KzException("request: the element count " + std::to_string(count) +
                      " exceeds the limit of " + std::to_string(KzDdpUnit::kMaxVectorCount));
  }
  for (uint32_t i = 0; i < count; ++i) String();
}

void KzRequestScanner::Skip(uint64_t bytes) { Take(bytes); }

void KzBufferedChannel::Detach(std::string* data, size_t* read) {
  // Moved, not copied: many small requests sent at once are served one by
  // one without copying what follows each.
  *data = std::move(data_);
  *read = read_;
  data_.clear();
  read_ = 0;
}

bool KzBufferedChannel::Send(const void* data, size_t* length, const KzTimeout&) {
  const char* bytes = static_cast<const char*>(data);
  size_t sent = 0;
  if (out_.empty()) {
    sent = *length;
    // A false result only means the connection took less (or nothing) now.
    inner_->Send(bytes, &sent, base::kTimeoutNowait);
  }
  out_.append(bytes + sent, *length - sent);
  return true;
}

bool KzBufferedChannel::FlushOutput(const KzTimeout& timeout) {
  if (out_.empty()) return true;
  if (!inner_->Send(out_, timeout)) return false;
  out_.clear();
  return true;
}

bool KzBufferedChannel::Receive(std::string* data, const KzTimeout& timeout) {
  size_t length = data->size();
  return Receive(&(*data)[0], &length, timeout);
}

bool KzBufferedChannel::Receive(void* data, size_t* length, const KzTimeout& timeout) {
  const size_t wanted = *length;
  const size_t kept = std::min(wanted, Unread());
  if (kept > 0) memcpy(data, data_.data() + read_, kept);
  read_ += kept;
  if (kept == wanted) return true;
  size_t rest = wanted - kept;
  const bool ok = inner_->Receive(static_cast<char*>(data) + kept, &rest, timeout);
  *length = kept + rest;
  return ok;
}

}  // namespace ipc
}  // namespace korza
