// The persistent client pool manager: its base, reused and spare (donor)
// pools, connections made at start and on demand, and the watch for
// connections the server has closed.
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "base/log.h"
#include "ipc/kz_internal.h"
#include "ipc/kz_pool.h"

namespace korza {
namespace ipc {

namespace {

using internal::debugOn;
using internal::hex;
using internal::toMs;

// What a peek at an idle connection shows.
enum PeekResult { kPeekNothing, kPeekData, kPeekClosed };

PeekResult peek(const KzIpcPtr& conn) {
  char byte;
  ssize_t n;
  do {
    n = recv(conn->GetHandle(), &byte, 1, MSG_PEEK);
  } while (n < 0 && errno == EINTR);
  if (n > 0) return kPeekData;
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return kPeekNothing;
  return kPeekClosed;
}

// A connection attempt of the maintenance thread holds up its other work
// for at most this long.
const KzTimeout kMaintenanceConnectTimeout(1000u);

}  // namespace

// The client manager.

KzPersistentClientPoolManager::KzPersistentClientPoolManager(const ConnSettings& settings,
                                                             const KzTimeout& idle_timeout)
    : KzPersistentPoolManager("PCP-Manager", settings, idle_timeout) {}

KzPersistentClientPoolManager::~KzPersistentClientPoolManager() { Shutdown(); }

uint32_t KzPersistentClientPoolManager::Total() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return total_;
}

size_t KzPersistentClientPoolManager::IdleCountLocked() const {
  return r_pool_.size() + b_pool_.size() + donor_pool_.size();
}

size_t KzPersistentClientPoolManager::BasePoolCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return b_pool_.size();
}

size_t KzPersistentClientPoolManager::DonorPoolCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return donor_pool_.size();
}

void KzPersistentClientPoolManager::CloseAllLocked() {
  // Connections in use stay counted until they come back.
  const size_t idle = IdleCountLocked();
  total_ = total_ > idle ? total_ - static_cast<uint32_t>(idle) : 0;
  for (auto& e : b_pool_) CloseConnection(e.conn, "closed with its pool");
  b_pool_.clear();
  for (auto& e : donor_pool_) CloseConnection(e.conn, "closed with its pool");
  donor_pool_.clear();
  stats_.donor = 0;
  donor_wanted_ = false;
  KzPersistentPoolManager::CloseAllLocked();
}

KzAddressPtr KzPersistentClientPoolManager::NextAddressLocked() {
  if (addresses_.empty()) return nullptr;
  KzAddressPtr address = addresses_[next_address_ % addresses_.size()];
  ++next_address_;
  return address;
}

void KzPersistentClientPoolManager::CountCreatedLocked() {
  ++stats_.total_created;
  ++stats_.established;
  stats_.max_created = std::max(stats_.max_created, total_);
  stats_.sum += total_;
}

void KzPersistentClientPoolManager::CreatePool() {
  for (;;) {
    KzAddressPtr address;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!open_ || suspended_ || total_ >= settings_.min) return;
      address = NextAddressLocked();
      ++total_;
    }
    KzIpcPtr conn = CreateClientConnection(local_, address, connect_timeout_);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!conn || !open_ || suspended_) {
      --total_;
      if (conn) {
        conn->Close();
      } else {
        next_create_ = Clock::now() + toMs(pause_);
      }
      return;
    }
    CountCreatedLocked();
    b_pool_.push_back(Entry{conn, Clock::now()});
    if (debugOn()) ipcLog().debug(conn->Text() + " is placed into the b-pool");
    ready_cond_.notify_one();
    SendControl(kControlRebuild);
  }
}

void KzPersistentClientPoolManager::CreateDonorPool() {
  LogClass& log = ipcLog();
  KzAddressPtr address;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!donor_wanted_) return;
    donor_wanted_ = false;
    if (!open_ || suspended_ || !donor_pool_.empty() || total_ >= settings_.max ||
        Clock::now() < next_create_) {
      return;
    }
    address = NextAddressLocked();
    ++total_;
    log.debug("KzPersistentClientPoolManager: inc total connection =" + std::to_string(total_));
  }
  // Bounded by one maintenance period so that closures and idle checks are
  // not held up for long.
  const KzTimeout timeout = std::min(connect_timeout_, kMaintenanceConnectTimeout);
  std::string error;
  KzIpcPtr conn = CreateClientConnection(local_, address, timeout, &error);
  std::lock_guard<std::mutex> lock(mutex_);
  if (!conn || !open_ || suspended_) {
    --total_;
    log.debug("KzPersistentClientPoolManager: dec total connection =" + std::to_string(total_));
    if (conn) {
      conn->Close();
    } else {
      log.error("KzPersistentClientPoolManager::_CreateDonorPool: create connection error: " +
                error);
      next_create_ = Clock::now() + toMs(pause_);
    }
    return;
  }
  CountCreatedLocked();
  donor_pool_.push_back(Entry{conn, Clock::now()});
  stats_.donor = static_cast<uint32_t>(donor_pool_.size());
  if (debugOn()) log.debug(conn->Text() + " is placed into the donor pool");
  ready_cond_.notify_one();
}

KzIpcPtr KzPersistentClientPoolManager::TakeReadyLocked(bool* create, const KzRequestFilter&) {
  // Connections that served before, then the base ones, then the spares;
  // one the server has closed meanwhile is dropped, not handed out.
  for (std::list<Entry>* pool : {&r_pool_, &b_pool_, &donor_pool_}) {
    while (!pool->empty()) {
      KzIpcPtr conn = pool->front().conn;
      struct pollfd p;
      p.fd = conn->GetHandle();
      p.events = POLLIN;
      p.revents = 0;
      int n;
      do {
        n = poll(&p, 1, 0);
      } while (n < 0 && errno == EINTR);
      if (n > 0 && DropIfBrokenLocked(pool, pool->begin(), p.revents)) continue;
      pool->pop_front();
      stats_.donor = static_cast<uint32_t>(donor_pool_.size());
      return conn;
    }
  }
  *create = total_ < settings_.max && Clock::now() >= next_create_;
  if (*create) {
    ++total_;
    ipcLog().debug("KzPersistentClientPoolManager: inc total connection =" +
                   std::to_string(total_));
    // Demand beyond the idle connections while others are in use: have a
    // spare ready for the next such caller.
    if (stats_.active > 0 && !donor_wanted_) {
      donor_wanted_ = true;
      SendControl(kControlRebuild);
    }
  }
  return nullptr;
}

KzIpcPtr KzPersistentClientPoolManager::CreateOnRequest(const KzDeadline& deadline) {
  KzAddressPtr address;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    address = NextAddressLocked();
    ipcLog().debug("KzPersistentClientPoolManager: request for new connection (" + SpecOf(address) +
                   ")");
  }
  const KzTimeout timeout = std::min(connect_timeout_, deadline.Remaining());
  KzIpcPtr conn = CreateClientConnection(local_, address, timeout);
  std::lock_guard<std::mutex> lock(mutex_);
  if (!conn || !open_ || suspended_) {
    --total_;
    ipcLog().debug("KzPersistentClientPoolManager: dec total connection =" +
                   std::to_string(total_));
    if (!conn) {
      ipcLog().debug("KzPersistentClientPoolManager(" + SpecOf(address) + ") make pause...");
      next_create_ = Clock::now() + toMs(pause_);
    }
    if (conn) conn->Close();
    return nullptr;
  }
  CountCreatedLocked();
  ++stats_.created_on_request;
  return conn;
}

void KzPersistentClientPoolManager::Release(const KzIpcPtr& connection, bool healthy) {
  if (!connection) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (stats_.active > 0) --stats_.active;
  if (healthy && open_ && !suspended_ && connection->GetHandle() >= 0) {
    // The maintenance thread is not woken: it watches the connection from
    // its next pass (within one maintenance period), and a closure before
    // that is caught when the connection is taken.
    r_pool_.push_front(Entry{connection, Clock::now()});
    ready_cond_.notify_one();
    return;
  }
  CloseConnection(connection, "is closed on release");
  if (total_ > 0) --total_;
  ipcLog().debug("KzPersistentClientPoolManager: dec total connection =" + std::to_string(total_));
  ready_cond_.notify_one();
}

void KzPersistentClientPoolManager::BuildWaitListLocked(std::vector<Watched>* list) {
  for (const std::list<Entry>* pool : {&r_pool_, &b_pool_, &donor_pool_}) {
    for (const auto& e : *pool) list->push_back(Watched{e.conn, kWatchReady});
  }
}

void KzPersistentClientPoolManager::ProcessEventLocked(const Watched& watched, short revents) {
  std::list<Entry>* pool = nullptr;
  std::list<Entry>::iterator it;
  for (std::list<Entry>* p : {&r_pool_, &b_pool_, &donor_pool_}) {
    it = std::find_if(p->begin(), p->end(), [&](const Entry& e) { return e.conn == watched.conn; });
    if (it != p->end()) {
      pool = p;
      break;
    }
  }
  // Taken by a caller since the wait list was built: the event is theirs.
  if (pool != nullptr) DropIfBrokenLocked(pool, it, revents);
}

bool KzPersistentClientPoolManager::DropIfBrokenLocked(std::list<Entry>* pool,
                                                       std::list<Entry>::iterator it,
                                                       short revents) {
  const KzIpcPtr conn = it->conn;
  const PeekResult peeked = peek(conn);
  if (peeked == kPeekNothing) return false;
  LogClass& log = ipcLog();
  // Base and spare connections have not carried an exchange yet.
  const char* when = pool == &r_pool_ ? "" : " befor connect";
  log.info(conn->Text() + " has been broken/closed on server side" + when + " (poll revent=0x" +
           hex(static_cast<unsigned short>(revents)) + ")");
  if (peeked == kPeekClosed) log.debug("ProcessEstablishedPool: POLLIN and recv return <= 0");
  // Unsolicited data leaves the stream out of step: drop the connection too.
  pool->erase(it);
  stats_.donor = static_cast<uint32_t>(donor_pool_.size());
  CloseConnection(conn, "is closed");
  if (total_ > 0) --total_;
  log.debug("KzPersistentClientPoolManager: dec total connection =" + std::to_string(total_));
  log.debug("KzPersistentClientPoolManager(" + SpecOf(conn->GetRemoteAddress()) +
            ") make pause...");
  next_create_ = Clock::now() + toMs(pause_);
  ready_cond_.notify_one();
  return true;
}

void KzPersistentClientPoolManager::RemoveIdleLocked(Clock::time_point now) {
  if (idle_timeout_.IsInfinite()) return;
  for (std::list<Entry>* pool : {&r_pool_, &donor_pool_, &b_pool_}) {
    for (auto it = pool->begin(); it != pool->end() && total_ > settings_.min;) {
      if (now - it->since >= toMs(idle_timeout_)) {
        CloseConnection(it->conn, "Remove by timeout");
        ++stats_.closed_by_timeout;
        --total_;
        it = pool->erase(it);
      } else {
        ++it;
      }
    }
  }
  stats_.donor = static_cast<uint32_t>(donor_pool_.size());
}

KzPersistentPoolManager::Clock::time_point KzPersistentClientPoolManager::NextDueLocked() const {
  Clock::time_point due = Clock::time_point::max();
  // Only connections above the minimum time out.
  if (idle_timeout_.IsInfinite() || total_ <= settings_.min) return due;
  for (const std::list<Entry>* pool : {&r_pool_, &donor_pool_, &b_pool_}) {
    for (const auto& e : *pool) due = std::min(due, e.since + toMs(idle_timeout_));
  }
  return due;
}
}  // namespace ipc
}  // namespace korza
