// Connection pools. A session never opens sockets itself: it asks its pool
// manager for a ready connection and gives it back after the exchange.
// Persistent managers keep connections open between calls, make new ones on
// demand up to a maximum, close idle ones after a time-out and watch idle
// connections for closure by the peer; a server manager also accepts new
// clients and hands out only connections whose client has sent a request.
//
// A server manager reads what its clients send without blocking and keeps
// it per connection; a connection is handed out only when its request has
// fully arrived (as the session's request checker judges). A request not
// complete within the request time-out is dropped, and the bytes kept over
// all connections stay under a limit: past it, the half-sent connection
// holding the most is closed.
//
// Each persistent manager has one maintenance thread that polls the watched
// descriptors and the read end of a control pipe; other threads reach it
// only through that pipe. It sleeps until something happens or the next
// connection time-out is due, never on a fixed period.
//
// Thread safety: every public member may be called from any thread. One
// mutex guards the pools and counters; callers that must wait for a
// connection sleep on a condition variable under it.
#ifndef KORZA_IPC_KZ_POOL_H_
#define KORZA_IPC_KZ_POOL_H_

#include <poll.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/kz_control.h"
#include "base/kz_timeout.h"
#include "ipc/kz_factory.h"
#include "ipc/kz_ipc.h"
#include "ipc/kz_request.h"

namespace korza {
namespace ipc {

using base::KzDeadline;

// The number of connections a manager keeps and allows.
struct ConnSettings {
  ConnSettings(uint32_t min_connections = 0, uint32_t max_connections = 1)
      : min(min_connections), max(max_connections) {}
  // Throws KzParameterError ("ConnSettings::Check", ...) unless
  // max <= 65535 and min <= max.
  void Check() const;

  uint32_t min;
  uint32_t max;
};

// Commands of the control pipe.
enum : uint32_t {
  kControlStop = 257,
  kControlRebuild = 258,
  kControlSuspend = 266,
  kControlResume = 267,
};

// KZ_CONNECT_TIMEOUT in seconds (atoi; negative means infinite), or 10 s
// when unset.
KzTimeout ConnectTimeoutFromEnvironment();

class KzIfPoolManager {
 public:
  virtual ~KzIfPoolManager() = default;

  // Starts the maintenance thread and makes the initial (client) or the
  // listening (server) connections. Throws KzException on failure.
  virtual void Open(const KzAddressList& addresses) = 0;
  virtual void Reopen(const KzAddressList& addresses) = 0;
  virtual void Close() = 0;
  virtual void Suspend() = 0;
  virtual void Resume() = 0;
  // A connection for the caller's exclusive use until Release. Throws
  // KzTimedOut when the deadline passes, KzNeedRecall when the pool was
  // closed or suspended meanwhile, KzSessionDestroyed after WakeUpAll with
  // the destroy event, KzThreadCanceled after CancelThread.
  // With `filter`, only a connection whose request passes it (server).
  virtual KzIpcPtr GetReady(const KzDeadline& deadline, const KzRequestFilter& filter) = 0;
  KzIpcPtr GetReady(const KzDeadline& deadline) { return GetReady(deadline, KzRequestFilter()); }
  // Gives a connection back; an unhealthy one is closed.
  virtual void Release(const KzIpcPtr& connection, bool healthy) = 0;
  // Marks the manager destroyed (every later and every sleeping GetReady
  // raises KzSessionDestroyed).
  virtual void WakeUpAll() = 0;
  // Makes `id`'s current or next GetReady raise KzThreadCanceled.
  virtual void CancelThread(std::thread::id id) = 0;
  // Drops a pending cancellation of `id` that was honoured elsewhere.
  virtual void CancelationAcknowledge(std::thread::id id) = 0;
  // Server: how to tell that a request has fully arrived (unset: when any
  // byte has), and how long a started request may take to arrive.
  virtual void SetRequestChecker(const KzRequestChecker& checker) { (void)checker; }
  virtual void SetRequestTimeout(const KzTimeout& timeout) { (void)timeout; }
};

class KzIfSessionPoolManager : public KzIfPoolManager {};

class IfCorrectConnections {
 public:
  virtual ~IfCorrectConnections() = default;
  virtual void CorrectConnectionsNum(const ConnSettings& settings) = 0;
};

class KzIfMaintainedPool {
 public:
  virtual ~KzIfMaintainedPool() = default;
  // Runs until a stop command arrives or the control pipe breaks.
  virtual void Maintain() = 0;
};

// Runs a manager's Maintain loop on its own thread.
class KzMaintainThread {
 public:
  // Throws KzParameterError for a null pool, KzException when the thread
  // cannot start.
  explicit KzMaintainThread(KzIfMaintainedPool* pool);
  ~KzMaintainThread();
  KzMaintainThread(const KzMaintainThread&) = delete;
  KzMaintainThread& operator=(const KzMaintainThread&) = delete;
  void Join();

 private:
  void Run();
  KzIfMaintainedPool* pool_;
  std::thread thread_;
};

// Counters for the statistics file.
struct KzPoolStatistics {
  uint32_t total_created = 0;
  uint32_t created_on_request = 0;
  uint32_t closed_by_timeout = 0;
  uint32_t max_created = 0;
  uint32_t established = 0;
  uint32_t donor = 0;
  uint32_t active = 0;
  uint64_t sum = 0;
  uint32_t closed = 0;
  uint32_t max_ready = 0;
};

// The common part of the managers: settings, connection creation, the
// pause after a failure, statistics.
class KzSessionPoolManager : public KzIfSessionPoolManager, public IfCorrectConnections {
 public:
  explicit KzSessionPoolManager(const ConnSettings& settings);

  void CorrectConnectionsNum(const ConnSettings& settings) override;
  ConnSettings Settings() const;
  const KzTimeout& ConnectTimeout() const { return connect_timeout_; }
  // Overrides KZ_CONNECT_TIMEOUT for this manager. REQUIRES: the manager is
  // not open.
  void SetConnectTimeout(const KzTimeout& timeout) { connect_timeout_ = timeout; }
  // With a file set, a report is appended on every Close of a persistent
  // manager and on every WriteStatistics call.
  void SetStatisticsFile(const std::string& path);
  void WriteStatistics();
  KzPoolStatistics Statistics() const;
  // How long a failed connection attempt blocks the next one (default
  // 100 ms). REQUIRES: the manager is not open.
  void SetPause(const KzTimeout& pause) { pause_ = pause; }

 protected:
  // A connected client channel to `address` (bound to `local` when that is
  // set), or null on failure; the reason is logged and, with `error`, kept.
  KzIpcPtr CreateClientConnection(const KzAddressPtr& local, const KzAddressPtr& address,
                                  const KzTimeout& timeout, std::string* error = nullptr);
  // A channel accepted on `listening`, or null when no client was waiting.
  KzIpcPtr CreateServerConnection(const KzIpcPtr& listening);
  virtual bool IsServer() const = 0;

  mutable std::mutex mutex_;
  ConnSettings settings_;   // GUARDED_BY(mutex_)
  KzPoolStatistics stats_;  // GUARDED_BY(mutex_)
  KzTimeout connect_timeout_;
  KzTimeout pause_;
  std::string stats_file_;  // GUARDED_BY(mutex_)
  time_t stats_start_;      // GUARDED_BY(mutex_)
};

// The maintained part: the control pipe, the maintenance thread, the
// sleeping callers.
class KzPersistentPoolManager : public KzSessionPoolManager, public KzIfMaintainedPool {
 public:
  KzPersistentPoolManager(const std::string& name, const ConnSettings& settings,
                          const KzTimeout& idle_timeout);

  void Open(const KzAddressList& addresses) override;
  void Reopen(const KzAddressList& addresses) override;
  void Close() override;
  void Suspend() override;
  void Resume() override;
  using KzIfPoolManager::GetReady;
  KzIpcPtr GetReady(const KzDeadline& deadline, const KzRequestFilter& filter) override;
  void WakeUpAll() override;
  void Maintain() override;
  void CancelThread(std::thread::id id) override;
  void CancelationAcknowledge(std::thread::id id) override;

  // The setters below are for set-up: REQUIRES: the manager is not open.
  // How long one maintenance wait lasts at most; infinite by default, so
  // the thread sleeps until an event or the next time-out is due.
  void SetMaintenanceTimeout(const KzTimeout& t) { maintenance_timeout_ = t; }
  // Connections idle longer than this are closed (client: above the
  // minimum).
  void SetIdleTimeout(const KzTimeout& t) { idle_timeout_ = t; }
  // Idle connections (client r-, b- and donor pools; server e-pool) and
  // ready ones.
  size_t IdleCount() const;
  size_t ReadyCount() const;

 protected:
  using Clock = std::chrono::steady_clock;
  struct Entry {
    Entry(KzIpcPtr c, Clock::time_point s, std::string received = std::string(),
          Clock::time_point start = Clock::time_point())
        : conn(std::move(c)), since(s), in(std::move(received)), started(start) {}
    KzIpcPtr conn;
    Clock::time_point since;    // the last activity
    std::string in;             // server: received; served up to `skip`
    size_t skip = 0;            // server: the bytes of `in` already served
    Clock::time_point started;  // server: when `in` got its first byte
    uint64_t needed = 1;        // server: no verdict on `in` before this size
    size_t Pending() const { return in.size() - skip; }
    std::string out;              // server: an answer still to be sent
    Clock::time_point out_since;  // server: when `out` was left over
    uint32_t id = 0;              // server r-pool: the request's protocol
  };
  enum WatchKind { kWatchReady, kWatchListening, kWatchEstablished };
  struct Watched {
    KzIpcPtr conn;
    WatchKind kind;
    short events = POLLIN;
  };

  // Every derived destructor calls this before its members go.
  void Shutdown();
  void SendControl(uint32_t command);
  // Closes every pooled connection. REQUIRES: mutex_ held.
  virtual void CloseAllLocked();
  // Removes `conn` from `pool`; false when it is not there.
  static bool Detach(std::list<Entry>* pool, const KzIpcPtr& conn);
  void CloseConnection(const KzIpcPtr& conn, const std::string& why);

  // The hooks of the concrete managers; all run under mutex_ unless noted.
  virtual void OpenPoolsLocked() = 0;
  virtual void BuildWaitListLocked(std::vector<Watched>* list) = 0;
  virtual void ProcessEventLocked(const Watched& watched, short revents) = 0;
  virtual void RemoveIdleLocked(Clock::time_point now) = 0;
  // When the next connection time-out is due (Clock::time_point::max()
  // when none is).
  virtual Clock::time_point NextDueLocked() const = 0;
  virtual size_t IdleCountLocked() const { return r_pool_.size(); }
  // Runs without the mutex after Open and Resume.
  virtual void CreatePool() {}
  // Runs without the mutex on the maintenance thread after every pass.
  virtual void AfterMaintenancePass() {}
  // A connection for GetReady, or null; *create is set when the caller may
  // make a new one.
  virtual KzIpcPtr TakeReadyLocked(bool* create, const KzRequestFilter& filter) = 0;
  virtual KzIpcPtr CreateOnRequest(const KzDeadline& deadline) {
    (void)deadline;
    return nullptr;
  }

  const std::string name_;
  KzTimeout idle_timeout_;
  KzTimeout maintenance_timeout_;
  KzAddressList addresses_;        // GUARDED_BY(mutex_)
  std::list<Entry> r_pool_;        // GUARDED_BY(mutex_)
  bool open_ = false;              // GUARDED_BY(mutex_)
  bool suspended_ = false;         // GUARDED_BY(mutex_)
  bool destroyed_ = false;         // GUARDED_BY(mutex_)
  uint64_t state_seq_ = 0;         // bumped by every state change; GUARDED_BY(mutex_)
  Clock::time_point next_create_;  // no connection attempt before; GUARDED_BY(mutex_)
  std::condition_variable ready_cond_;
  int sleepers_ = 0;                      // GUARDED_BY(mutex_)
  std::set<std::thread::id> cancel_ids_;  // GUARDED_BY(mutex_)
  std::unique_ptr<base::KzControl> control_;
  std::unique_ptr<KzMaintainThread> thread_;
};

class KzPersistentClientPoolManager : public KzPersistentPoolManager {
 public:
  explicit KzPersistentClientPoolManager(const ConnSettings& settings = ConnSettings(0, 8),
                                         const KzTimeout& idle_timeout = KzTimeout(60000u));
  ~KzPersistentClientPoolManager() override;

  void Release(const KzIpcPtr& connection, bool healthy) override;
  // Connections that exist (idle and in use).
  uint32_t Total() const;
  // The address new connections bind to before connecting; empty (the
  // default) lets the system choose. REQUIRES: the manager is not open.
  void SetLocalAddress(const KzAddressPtr& local) { local_ = local; }
  size_t BasePoolCount() const;
  size_t DonorPoolCount() const;

 protected:
  bool IsServer() const override { return false; }
  void OpenPoolsLocked() override {}
  void CloseAllLocked() override;
  void BuildWaitListLocked(std::vector<Watched>* list) override;
  void ProcessEventLocked(const Watched& watched, short revents) override;
  void RemoveIdleLocked(Clock::time_point now) override;
  Clock::time_point NextDueLocked() const override;
  size_t IdleCountLocked() const override;
  // Brings the manager up to its minimum; the new connections go to the
  // b-pool.
  void CreatePool() override;
  void AfterMaintenancePass() override { CreateDonorPool(); }
  KzIpcPtr TakeReadyLocked(bool* create, const KzRequestFilter& filter) override;
  KzIpcPtr CreateOnRequest(const KzDeadline& deadline) override;

 private:
  // When a caller had to connect while another connection was in use, the
  // maintenance thread prepares one spare (donor) connection so that the
  // next such caller finds it ready instead of connecting itself.
  void CreateDonorPool();
  // Closes and removes `it` when its server closed it or sent unasked-for
  // data; false when it is healthy.
  bool DropIfBrokenLocked(std::list<Entry>* pool, std::list<Entry>::iterator it, short revents);
  KzAddressPtr NextAddressLocked();
  void CountCreatedLocked();
  KzAddressPtr local_;
  std::list<Entry> b_pool_;      // GUARDED_BY(mutex_)
  std::list<Entry> donor_pool_;  // GUARDED_BY(mutex_)
  bool donor_wanted_ = false;    // GUARDED_BY(mutex_)
  uint32_t total_ = 0;           // existing connections; GUARDED_BY(mutex_)
  size_t next_address_ = 0;      // GUARDED_BY(mutex_)
};

class KzPersistentServerPoolManager : public KzPersistentPoolManager {
 public:
  static const int kListenBacklog = 128;
  static const uint64_t kDefaultBufferLimit = uint64_t{64} * 1024 * 1024;

  explicit KzPersistentServerPoolManager(const ConnSettings& settings = ConnSettings(0, 64),
                                         const KzTimeout& idle_timeout = KzTimeout(300000u));
  ~KzPersistentServerPoolManager() override;

  void Release(const KzIpcPtr& connection, bool healthy) override;
  // The listening channels (for example to learn a bound port).
  std::vector<KzIpcPtr> Listeners() const;
  void SetRequestChecker(const KzRequestChecker& checker) override;
  void SetRequestTimeout(const KzTimeout& timeout) override;
  // The most bytes kept over all connections (default
  // kDefaultBufferLimit). REQUIRES: the manager is not open.
  void SetBufferLimit(uint64_t bytes) { buffer_limit_ = bytes; }
  // Bytes kept over all connections now.
  uint64_t Buffered() const;

 protected:
  bool IsServer() const override { return true; }
  void OpenPoolsLocked() override;
  void CloseAllLocked() override;
  void BuildWaitListLocked(std::vector<Watched>* list) override;
  void ProcessEventLocked(const Watched& watched, short revents) override;
  void RemoveIdleLocked(Clock::time_point now) override;
  Clock::time_point NextDueLocked() const override;
  size_t IdleCountLocked() const override { return e_pool_.size(); }
  KzIpcPtr TakeReadyLocked(bool* create, const KzRequestFilter& filter) override;

 private:
  // A new client on `listening`; on a lack of descriptors or memory the
  // listener rests for a while (clients wait in its backlog).
  void AcceptLocked(const KzIpcPtr& listening);
  // Sends more of the answer kept for `it`; once all is out, its next
  // request (if already there) is judged.
  void WriteLocked(std::list<Entry>::iterator it);
  // Reads what the client of `it` has sent, then judges it.
  void ReadLocked(std::list<Entry>::iterator it, short revents);
  // Moves a complete request to the r-pool or drops an invalid one.
  enum Verdict { kKept, kMoved, kDropped };
  Verdict ExamineLocked(std::list<Entry>::iterator it);
  void DropLocked(std::list<Entry>::iterator it, const std::string& why);
  // At the buffer limit: closes the half-sent connection holding the
  // most; false when that was `reading` (or nothing could be freed and
  // `reading` was closed instead).
  bool MakeRoomLocked(std::list<Entry>::iterator reading);
  // At the maximum, closes the connection idle longest to make room for a
  // new one.
  void ShedIfFullLocked();

  std::vector<KzIpcPtr> listeners_;    // GUARDED_BY(mutex_)
  std::list<Entry> e_pool_;            // GUARDED_BY(mutex_)
  uint32_t active_ = 0;                // handed to callers; GUARDED_BY(mutex_)
  KzRequestChecker checker_;           // GUARDED_BY(mutex_)
  KzTimeout request_timeout_{30000u};  // GUARDED_BY(mutex_)
  uint64_t buffer_limit_ = kDefaultBufferLimit;
  uint64_t buffered_ = 0;  // in the e- and r-pools; GUARDED_BY(mutex_)
  // Accepting rests until then after running out of descriptors;
  // accept_backoff_ms_ is 0 outside such an episode.
  Clock::time_point accept_resume_;  // GUARDED_BY(mutex_)
  uint32_t accept_backoff_ms_ = 0;   // GUARDED_BY(mutex_)
  std::vector<char> chunk_;          // maintenance thread only
};

}  // namespace ipc
}  // namespace korza

#endif  // KORZA_IPC_KZ_POOL_H_
