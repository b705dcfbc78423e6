// Small helpers the IPC library's own sources share; not part of the
// library's interface.
#ifndef KORZA_IPC_KZ_INTERNAL_H_
#define KORZA_IPC_KZ_INTERNAL_H_

#include <sys/socket.h>

#include <chrono>
#include <string>

#include "base/kz_timeout.h"
#include "base/log.h"
#include "base/utils.h"

namespace korza {
namespace ipc {
namespace internal {

// No SIGPIPE from a send to a peer that has gone, where the platform allows
// it per call (elsewhere the daemon ignores SIGPIPE).
#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;
#endif

inline std::string hex(unsigned v) { return Utils::format(16, "%x", v); }

inline bool debugOn() { return ipcLog().isEnabled(kLogDebug); }

inline std::chrono::milliseconds toMs(const base::KzTimeout& t) {
  return std::chrono::milliseconds(t.ms());
}

}  // namespace internal
}  // namespace ipc
}  // namespace korza

#endif  // KORZA_IPC_KZ_INTERNAL_H_
