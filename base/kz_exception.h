// The exception family of the IPC library. Every failure of the library is
// one of these; a time-out is reported as a false result, never as one of
// them, except where a whole call runs out of time (KzTimedOut).
//
// Thread safety: plain values.
#ifndef KORZA_BASE_KZ_EXCEPTION_H_
#define KORZA_BASE_KZ_EXCEPTION_H_

#include <stdexcept>
#include <string>

namespace korza {
namespace base {

class KzException : public std::logic_error {
 public:
  explicit KzException(const std::string& what) : std::logic_error(what) {}
};

// A bad argument: where + ": the '" + parameter + "' parameter contains
// invalid value '" + value + "'", or, without a value,
// where + ": the '" + parameter + "' parameter is invalid".
class KzParameterError : public KzException {
 public:
  KzParameterError(const std::string& where, const std::string& parameter,
                   const std::string& value);
  KzParameterError(const std::string& where, const std::string& parameter);
};

// A failed system call: text + " failed: " + the error text of `err`.
class KzSystemError : public KzException {
 public:
  KzSystemError(const std::string& text, int err);
  int code() const { return code_; }

 private:
  int code_;
};

class KzTimedOut : public KzException {
 public:
  explicit KzTimedOut(const std::string& what) : KzException(what) {}
};

// Internal to sessions: the session changed state while the caller waited;
// the call must be made again.
class KzNeedRecall : public KzException {
 public:
  KzNeedRecall() : KzException("function should be recalled") {}
};

// where + ": thread has been canceled".
class KzThreadCanceled : public KzException {
 public:
  explicit KzThreadCanceled(const std::string& where)
      : KzException(where + ": thread has been canceled") {}

 protected:
  struct RawText {};
  KzThreadCanceled(RawText, const std::string& what) : KzException(what) {}
};

class KzSessionClosed : public KzThreadCanceled {
 public:
  KzSessionClosed() : KzThreadCanceled(RawText(), "session has been closed") {}
};

class KzSessionDestroyed : public KzThreadCanceled {
 public:
  KzSessionDestroyed() : KzThreadCanceled(RawText(), "session has been deleted") {}
};

// Errors of a channel. A channel that raised one is closed and discarded by
// its owner.
class KzIpcError : public KzException {
 public:
  explicit KzIpcError(const std::string& what) : KzException(what) {}
};

// where + "- closed".
class KzIpcErrorClosed : public KzIpcError {
 public:
  explicit KzIpcErrorClosed(const std::string& where) : KzIpcError(where + "- closed") {}

 protected:
  struct RawText {};
  KzIpcErrorClosed(RawText, const std::string& what) : KzIpcError(what) {}
};

// where + "- closed by peer".
class KzIpcErrorClosedByPeer : public KzIpcErrorClosed {
 public:
  explicit KzIpcErrorClosedByPeer(const std::string& where)
      : KzIpcErrorClosed(RawText(), where + "- closed by peer") {}
};

}  // namespace base
}  // namespace korza

#endif  // KORZA_BASE_KZ_EXCEPTION_H_
