// The control pipe of a maintenance thread: other threads queue 32-bit
// commands; the pipe carries one byte per queued command only to wake the
// reader, whose poll() watches the read end beside its sockets. A command
// that is already queued is not queued again, so repeated requests collapse.
//
// Thread safety: every member may be called from any thread.
#ifndef KORZA_BASE_KZ_CONTROL_H_
#define KORZA_BASE_KZ_CONTROL_H_

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

namespace korza {
namespace base {

class KzControl {
 public:
  // Creates the pipe (both ends close-on-exec). Throws KzSystemError
  // "KzControl(NAME)::ctor - cannot create pipe".
  explicit KzControl(const std::string& name);
  ~KzControl();
  KzControl(const KzControl&) = delete;
  KzControl& operator=(const KzControl&) = delete;

  // Queues `command` unless it is already queued. Throws KzSystemError when
  // the wake-up byte cannot be written.
  void Send(uint32_t command);
  // Takes the first queued command and its byte. Throws KzThreadCanceled
  // when the queue is empty and KzSystemError when the byte cannot be read.
  uint32_t Read();
  void Clear();

  // The read end, to be polled for input.
  int fd() const { return read_fd_; }
  const std::string& name() const { return name_; }
  size_t queued() const;

 private:
  const std::string name_;
  int read_fd_ = -1;
  int write_fd_ = -1;
  mutable std::mutex mutex_;
  std::deque<uint32_t> queue_;  // GUARDED_BY(mutex_)
};

}  // namespace base
}  // namespace korza

#endif  // KORZA_BASE_KZ_CONTROL_H_
