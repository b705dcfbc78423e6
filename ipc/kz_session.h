// Sessions: the objects through which application code talks IPC.
//
// A client session runs one client protocol exchange per call over a
// connection from its pool: it sends the protocol identifier (4 bytes,
// big-endian), then the request, and reads the response. The identifier
// precedes every exchange, so one persistent connection may carry
// exchanges of several protocols.
//
// A server session serves, per call, one request that has fully arrived on
// any of its connections: it reads the identifier, picks the registered
// protocol (or its one fixed protocol) and runs it. Its pool gathers each
// request without blocking and hands a connection on only when the
// protocol's ScanRequest finds the request complete, so a half-sent
// request never holds a serving thread; one not complete within
// RequestTimeout() is dropped. An unknown identifier ends the exchange and
// the connection without an answer. The wait for a new request follows the
// call's time-out.
//
// A session is in one of five states (Initial, Opened, Closed, Suspended,
// Terminal); a state object decides what each operation does:
//   Initial   --Open-->    Opened     Opened --Suspend--> Suspended
//   Opened    --Close-->   Closed     Suspended --Resume--> Opened
//   Closed    --Open-->    Opened     destruction --> Terminal
// Calls on a closed session raise KzSessionClosed; calls on a suspended one
// wait (within their time-out) for Resume and then go on.
//
// Thread safety: any number of threads may call Execute/process at once;
// each gets its own connection. State changes are serialised by the
// session's mutex. Destruction waits for the calls in progress.
#ifndef KORZA_IPC_KZ_SESSION_H_
#define KORZA_IPC_KZ_SESSION_H_

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/kz_timeout.h"
#include "ipc/kz_pool.h"
#include "ipc/kz_protocol.h"

namespace korza {
namespace ipc {

class KzSession;

class KzSessionState {
 public:
  enum Id { kAbstract = -1, kInitial = 0, kOpened, kClosed, kSuspended, kTerminal };

  virtual ~KzSessionState() = default;
  virtual Id GetId() const { return kAbstract; }
  virtual void Open(KzSession& session, const std::vector<std::string>& addresses);
  virtual void Close(KzSession& session);
  virtual void Suspend(KzSession& session);
  virtual void Resume(KzSession& session);
  // Called with the session's lock held; may release it while waiting.
  virtual KzIpcPtr AquireConnection(KzSession& session, std::unique_lock<std::mutex>& lock,
                                    const KzDeadline& deadline, const KzRequestFilter& filter);
  virtual void ReleaseConnection(KzSession& session, std::unique_lock<std::mutex>& lock,
                                 const KzIpcPtr& connection, bool healthy);
  virtual const char* Name() const { return "Abstract Base State"; }

 protected:
  [[noreturn]] void Refuse(const std::string& what) const;
  // Points the pool at `addresses` (a first open or a reopen) and makes the
  // session Opened. A pool failure is logged as `where` + " - " + its text
  // and thrown as KzException(where + " - " + `failure`); the state is then
  // unchanged.
  void OpenPool(KzSession& session, const std::vector<std::string>& addresses, bool reopen,
                const char* where, const char* failure) const;
};

// The five state singletons, created once.
class KzSessionStateTable {
 public:
  static KzSessionState* Get(KzSessionState::Id id);
};

class KzSession {
 public:
  virtual ~KzSession();
  KzSession(const KzSession&) = delete;
  KzSession& operator=(const KzSession&) = delete;

  // Expands the address list (pid files included) and opens the pool.
  // Throws KzParameterError for an unusable entry and KzException when the
  // pool cannot be opened; the state is then unchanged.
  void Open(const std::string& address);
  void Open(const std::vector<std::string>& addresses);
  void Reopen(const std::vector<std::string>& addresses) { Open(addresses); }
  void Close();
  void Suspend();
  void Resume();

  KzSessionState::Id StateId() const;
  std::string StateName() const;
  std::shared_ptr<KzIfSessionPoolManager> PoolManager() const { return pool_; }
  // The address list as given to Open, comma-separated.
  std::string AddressListText() const;
  // Ends the call that thread `id` is making (waiting for a connection or
  // for Resume), or else its next call, with KzThreadCanceled
  // ("RefCounter: thread has been canceled", or the pool's text when the
  // pool noticed first). A call already exchanging data runs to its end.
  void CancelThread(std::thread::id id);

 protected:
  using Exchange = std::function<bool(const KzIpcPtr& connection, const KzDeadline& deadline)>;

  // Throws KzParameterError ("Session::ctor", "PoolManager", "null").
  explicit KzSession(const std::shared_ptr<KzIfSessionPoolManager>& pool);
  // One call: a connection from the current state, the exchange on it, the
  // connection given back (closed unless the exchange succeeded). Returns
  // the exchange result; false also when the time runs out or the session
  // is destroyed. Raises KzSessionClosed on a closed session and
  // KzThreadCanceled when the thread is cancelled (CancelThread).
  // With `filter`, only requests of the protocols it accepts (server).
  bool Execute(const Exchange& exchange, const KzTimeout& timeout,
               const KzRequestFilter& filter = KzRequestFilter());
  // Every derived destructor calls this first: the Terminal state, the pool
  // woken and closed, then a wait for the calls in progress.
  void Destroy();

 private:
  friend class KzSessionState;
  friend class KzInitialSessionState;
  friend class KzOpenedSessionState;
  friend class KzClosedSessionState;
  friend class KzSuspendedSessionState;
  friend class KzTerminalSessionState;

  // REQUIRES: mutex_ held. Wakes every thread waiting for a state change.
  void SetStateLocked(KzSessionState::Id id);
  // REQUIRES: mutex_ held. Consumes a cancellation of the calling thread.
  bool TakeCancelLocked();

  std::shared_ptr<KzIfSessionPoolManager> pool_;
  mutable std::mutex mutex_;
  std::condition_variable cond_;
  KzSessionState* state_;                 // GUARDED_BY(mutex_)
  std::vector<std::string> addresses_;    // GUARDED_BY(mutex_)
  int refs_ = 0;                          // calls in progress; GUARDED_BY(mutex_)
  std::set<std::thread::id> cancel_ids_;  // GUARDED_BY(mutex_)
};

class KzClientSession : public KzSession {
 public:
  explicit KzClientSession(const std::shared_ptr<KzIfSessionPoolManager>& pool);
  ~KzClientSession() override;

  // Runs one exchange of `protocol` within `timeout`. True when the
  // response was parsed. When the server had closed the connection and the
  // protocol IsRepeatable, the exchange runs once more on another one.
  // Throws KzParameterError for a null protocol.
  bool process(const std::shared_ptr<KzClientProtocol>& protocol, const KzTimeout& timeout);
  bool Execute(const std::shared_ptr<KzClientProtocol>& protocol, const KzTimeout& timeout) {
    return process(protocol, timeout);
  }

 private:
  // The identifier, then request and response until the protocol is done.
  static bool Exchange(KzClientProtocol& protocol, const KzIpcPtr& connection,
                       const KzDeadline& deadline);
};

class KzServerSession : public KzSession {
 public:
  // With `protocol`, the session serves that one protocol only.
  explicit KzServerSession(const std::shared_ptr<KzIfSessionPoolManager>& pool,
                           const std::shared_ptr<KzServerProtocol>& protocol = nullptr);
  ~KzServerSession() override;

  // False when the identifier is already registered (the first one stays).
  // Throws KzParameterError for a null protocol.
  bool Register(const std::shared_ptr<KzServerProtocol>& protocol);
  bool Deregister(const std::shared_ptr<KzServerProtocol>& protocol);

  // The most one request may hold in all.
  static const uint64_t kMaxRequestBytes = uint64_t{64} * 1024 * 1024;

  // Waits up to `timeout` for a request and serves it. True when a
  // response was sent. Throws KzException when no protocol is defined.
  // With `filter`, serves only requests of the protocols it accepts (so
  // that slow requests can have threads of their own).
  bool Execute(const KzTimeout& timeout, const KzRequestFilter& filter = KzRequestFilter());

  void SetRequestTimeout(const KzTimeout& timeout);
  KzTimeout RequestTimeout() const;

 private:
  bool Serve(const KzIpcPtr& connection);
  // Whether `data` holds a whole request (the pool's request checker).
  KzRequestCheck Check(const std::string& data, size_t offset) const;
  std::shared_ptr<KzServerProtocol> Choose(uint32_t id) const;

  const std::shared_ptr<KzServerProtocol> fixed_;
  mutable std::mutex protocols_mutex_;
  std::map<uint32_t, std::shared_ptr<KzServerProtocol>> protocols_;  // GUARDED_BY(protocols_mutex_)
  KzTimeout request_timeout_;                                        // GUARDED_BY(protocols_mutex_)
};

}  // namespace ipc
}  // namespace korza

#endif  // KORZA_IPC_KZ_SESSION_H_
