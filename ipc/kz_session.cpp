#include "ipc/kz_session.h"

#include "base/kz_exception.h"
#include "base/log.h"
#include "base/utils.h"

namespace korza {
namespace ipc {

using base::KzException;
using base::KzNeedRecall;
using base::KzParameterError;
using base::KzSessionClosed;
using base::KzSessionDestroyed;
using base::KzThreadCanceled;
using base::KzTimedOut;

// States.

void KzSessionState::Refuse(const std::string& what) const {
  throw KzException(std::string(Name()) + ": A session state doesn't allows to " + what);
}

void KzSessionState::OpenPool(KzSession& session, const std::vector<std::string>& addresses,
                              bool reopen, const char* where, const char* failure) const {
  const KzAddressList resolved = ResolveAddressList(addresses);
  try {
    if (reopen) {
      session.pool_->Reopen(resolved);
    } else {
      session.pool_->Open(resolved);
    }
  } catch (const std::exception& e) {
    ipcLog().error(std::string(where) + " - " + e.what());
    throw KzException(std::string(where) + " - " + failure);
  }
  session.addresses_ = addresses;
  session.SetStateLocked(kOpened);
}

void KzSessionState::Open(KzSession&, const std::vector<std::string>&) { Refuse("open"); }
void KzSessionState::Close(KzSession&) { Refuse("close"); }
void KzSessionState::Suspend(KzSession&) { Refuse("suspend"); }
void KzSessionState::Resume(KzSession&) { Refuse("resume"); }

KzIpcPtr KzSessionState::AquireConnection(KzSession&, std::unique_lock<std::mutex>&,
                                          const KzDeadline&, const KzRequestFilter&) {
  Refuse("aquire connections");
}

void KzSessionState::ReleaseConnection(KzSession&, std::unique_lock<std::mutex>&, const KzIpcPtr&,
                                       bool) {
  Refuse("release connections");
}

class KzInitialSessionState : public KzSessionState {
 public:
  Id GetId() const override { return kInitial; }
  const char* Name() const override { return "Initial State"; }

  void Open(KzSession& session, const std::vector<std::string>& addresses) override {
    OpenPool(session, addresses, false, "SessionState::Open", "cannot initialize connections pool");
  }
};

class KzOpenedSessionState : public KzSessionState {
 public:
  Id GetId() const override { return kOpened; }
  const char* Name() const override { return "Opened State"; }

  // Reopen: the pool follows the new address list.
  void Open(KzSession& session, const std::vector<std::string>& addresses) override {
    OpenPool(session, addresses, true, "OpenedSessionState::Reopen",
             "cannot reinit connections pool");
  }

  void Close(KzSession& session) override {
    session.SetStateLocked(kClosed);
    try {
      session.pool_->Close();
    } catch (const std::exception& e) {
      ipcLog().error(std::string("SessionState::Close - ") + e.what());
      throw KzException("SessionState::Close - cannot close connections pool");
    }
  }

  void Suspend(KzSession& session) override {
    try {
      session.pool_->Suspend();
    } catch (const std::exception& e) {
      ipcLog().error(std::string("OpenedSessionState::Suspend - ") + e.what());
      throw KzException("OpenedSessionState::Close - cannot suspend connections pool");
    }
    session.SetStateLocked(kSuspended);
  }

  void Resume(KzSession&) override {}

  KzIpcPtr AquireConnection(KzSession& session, std::unique_lock<std::mutex>& lock,
                            const KzDeadline& deadline, const KzRequestFilter& filter) override {
    std::shared_ptr<KzIfSessionPoolManager> pool = session.pool_;
    lock.unlock();
    return pool->GetReady(deadline, filter);
  }

  void ReleaseConnection(KzSession& session, std::unique_lock<std::mutex>& lock,
                         const KzIpcPtr& connection, bool healthy) override {
    std::shared_ptr<KzIfSessionPoolManager> pool = session.pool_;
    lock.unlock();
    pool->Release(connection, healthy);
  }
};

class KzSuspendedSessionState : public KzSessionState {
 public:
  Id GetId() const override { return kSuspended; }
  const char* Name() const override { return "Suspended State"; }

  void Open(KzSession& session, const std::vector<std::string>& addresses) override {
    opened().Open(session, addresses);
  }
  void Close(KzSession& session) override { opened().Close(session); }
  void Suspend(KzSession&) override {}

  void Resume(KzSession& session) override {
    session.SetStateLocked(kOpened);
    try {
      session.pool_->Resume();
    } catch (const std::exception& e) {
      ipcLog().error(std::string("SuspendedSessionState::Resume - ") + e.what());
      throw KzException("SuspendedSessionState::Resume error");
    }
  }

  // Waits for the state to change, then asks the caller to call again.
  KzIpcPtr AquireConnection(KzSession& session, std::unique_lock<std::mutex>& lock,
                            const KzDeadline& deadline, const KzRequestFilter&) override {
    const std::thread::id me = std::this_thread::get_id();
    auto changed = [&] { return session.state_ != this || session.cancel_ids_.count(me) > 0; };
    const KzTimeout remaining = deadline.Remaining();
    bool got;
    if (remaining.IsInfinite()) {
      session.cond_.wait(lock, changed);
      got = true;
    } else {
      got = session.cond_.wait_for(lock, std::chrono::milliseconds(remaining.ms()), changed);
    }
    if (!got) {
      throw KzTimedOut(base::TimedOutText("SuspendedSessionState::AquireConnection", deadline));
    }
    if (session.TakeCancelLocked()) throw KzThreadCanceled("RefCounter");
    throw KzNeedRecall();
  }

  void ReleaseConnection(KzSession& session, std::unique_lock<std::mutex>& lock,
                         const KzIpcPtr& connection, bool healthy) override {
    opened().ReleaseConnection(session, lock, connection, healthy);
  }

 private:
  static KzSessionState& opened() { return *KzSessionStateTable::Get(kOpened); }
};

class KzClosedSessionState : public KzSessionState {
 public:
  Id GetId() const override { return kClosed; }
  const char* Name() const override { return "Closed State"; }

  void Open(KzSession& session, const std::vector<std::string>& addresses) override {
    KzSessionStateTable::Get(kInitial)->Open(session, addresses);
  }
  void Close(KzSession&) override {}

  KzIpcPtr AquireConnection(KzSession&, std::unique_lock<std::mutex>&, const KzDeadline&,
                            const KzRequestFilter&) override {
    throw KzSessionClosed();
  }

  // A call that was running when the session closed gives its connection
  // back to the pool, which closes it.
  void ReleaseConnection(KzSession& session, std::unique_lock<std::mutex>& lock,
                         const KzIpcPtr& connection, bool healthy) override {
    KzSessionStateTable::Get(kOpened)->ReleaseConnection(session, lock, connection, healthy);
  }
};

class KzTerminalSessionState : public KzSessionState {
 public:
  Id GetId() const override { return kTerminal; }
  const char* Name() const override { return "Terminal State"; }

  void Open(KzSession&, const std::vector<std::string>&) override { Destroyed(); }
  void Close(KzSession&) override { Destroyed(); }
  void Suspend(KzSession&) override { Destroyed(); }
  void Resume(KzSession&) override { Destroyed(); }
  KzIpcPtr AquireConnection(KzSession&, std::unique_lock<std::mutex>&, const KzDeadline&,
                            const KzRequestFilter&) override {
    Destroyed();
  }
  void ReleaseConnection(KzSession&, std::unique_lock<std::mutex>&, const KzIpcPtr&,
                         bool) override {
    Destroyed();
  }

 private:
  [[noreturn]] static void Destroyed() {
    ipcLog().debug("TerminalSessionState: the session has been destroyed");
    throw KzSessionDestroyed();
  }
};

KzSessionState* KzSessionStateTable::Get(KzSessionState::Id id) {
  static KzInitialSessionState initial;
  static KzOpenedSessionState opened;
  static KzClosedSessionState closed;
  static KzSuspendedSessionState suspended;
  static KzTerminalSessionState terminal;
  static KzSessionState* const table[] = {&initial, &opened, &closed, &suspended, &terminal};
  return table[id];
}

// The session.

KzSession::KzSession(const std::shared_ptr<KzIfSessionPoolManager>& pool)
    : pool_(pool), state_(KzSessionStateTable::Get(KzSessionState::kInitial)) {
  if (!pool_) {
    ipcLog().error("Session::ctor - a null pointer to a pool manager");
    throw KzParameterError("Session::ctor", "PoolManager", "null");
  }
}

KzSession::~KzSession() { Destroy(); }

void KzSession::Destroy() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_->GetId() == KzSessionState::kTerminal) return;
    SetStateLocked(KzSessionState::kTerminal);
  }
  pool_->WakeUpAll();
  try {
    pool_->Close();
  } catch (const std::exception& e) {
    ipcLog().error(std::string("Session::dtor - ") + e.what());
  }
  std::unique_lock<std::mutex> lock(mutex_);
  cond_.wait(lock, [this] { return refs_ == 0; });
}

void KzSession::SetStateLocked(KzSessionState::Id id) {
  state_ = KzSessionStateTable::Get(id);
  ipcLog().debug(std::string("Session: state is ") + state_->Name());
  cond_.notify_all();
}

bool KzSession::TakeCancelLocked() {
  if (cancel_ids_.erase(std::this_thread::get_id()) == 0) return false;
  // The pool may hold the same request; it is honoured here.
  pool_->CancelationAcknowledge(std::this_thread::get_id());
  return true;
}

void KzSession::CancelThread(std::thread::id id) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cancel_ids_.insert(id);
    cond_.notify_all();
  }
  pool_->CancelThread(id);
}

void KzSession::Open(const std::string& address) { Open(std::vector<std::string>{address}); }

void KzSession::Open(const std::vector<std::string>& addresses) {
  std::lock_guard<std::mutex> lock(mutex_);
  state_->Open(*this, addresses);
}

void KzSession::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  state_->Close(*this);
}

void KzSession::Suspend() {
  std::lock_guard<std::mutex> lock(mutex_);
  state_->Suspend(*this);
}

void KzSession::Resume() {
  std::lock_guard<std::mutex> lock(mutex_);
  state_->Resume(*this);
}

KzSessionState::Id KzSession::StateId() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_->GetId();
}

std::string KzSession::StateName() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_->Name();
}

std::string KzSession::AddressListText() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string text;
  for (const auto& a : addresses_) text += (text.empty() ? "" : ", ") + a;
  return text;
}

bool KzSession::Execute(const Exchange& exchange, const KzTimeout& timeout,
                        const KzRequestFilter& filter) {
  LogClass& log = ipcLog();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_->GetId() == KzSessionState::kTerminal) {
      log.error("Session::Execute (session destroyed)-" + std::string("session has been deleted"));
      return false;
    }
    if (TakeCancelLocked()) {
      log.debug("Session::Execute - RefCounter: thread has been canceled");
      throw KzThreadCanceled("RefCounter");
    }
    ++refs_;
  }
  struct RefGuard {
    KzSession* s;
    ~RefGuard() {
      std::lock_guard<std::mutex> lock(s->mutex_);
      if (--s->refs_ == 0) s->cond_.notify_all();
    }
  } guard{this};

  const KzDeadline deadline(timeout);
  const auto failure = [&](const std::exception& e) {
    log.error("Session::Execute - error for address(es) [" + AddressListText() +
              "]: " + Utils::printable(e.what()));
  };
  KzIpcPtr connection;
  for (;;) {
    try {
      std::unique_lock<std::mutex> lock(mutex_);
      connection = state_->AquireConnection(*this, lock, deadline, filter);
      break;
    } catch (const KzNeedRecall&) {
      log.debug("Session::Execute - a state has been changed, call again");
    } catch (const KzSessionDestroyed& e) {
      log.error(std::string("Session::Execute (session destroyed)-") + e.what());
      return false;
    } catch (const KzSessionClosed&) {
      throw;
    } catch (const KzThreadCanceled&) {
      // Cancelled through the pool: the session's record of it is spent too.
      std::lock_guard<std::mutex> lock(mutex_);
      cancel_ids_.erase(std::this_thread::get_id());
      throw;
    } catch (const KzException& e) {
      failure(e);
      return false;
    }
  }

  bool ok = false;
  bool canceled = false;
  try {
    ok = exchange(connection, deadline);
  } catch (const KzSessionDestroyed& e) {
    log.error(std::string("Session::Execute (session destroyed)-") + e.what());
  } catch (const KzThreadCanceled&) {
    canceled = true;
  } catch (const std::exception& e) {
    failure(e);
  }
  try {
    std::unique_lock<std::mutex> lock(mutex_);
    state_->ReleaseConnection(*this, lock, connection, ok);
  } catch (const std::exception& e) {
    log.error(std::string("Session::Execute - ") + e.what());
    connection->Close();
  }
  if (canceled) throw KzThreadCanceled("Session::Execute");
  return ok;
}

}  // namespace ipc
}  // namespace korza
