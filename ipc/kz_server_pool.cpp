// The persistent server pool manager: listening, accepting, reading what
// clients send without blocking until a request is complete, sending
// answers left over, and the limits on waiting and buffered bytes.
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "base/kz_exception.h"
#include "base/log.h"
#include "base/utils.h"
#include "ipc/kz_internal.h"
#include "ipc/kz_pool.h"

namespace korza {
namespace ipc {

using base::KzException;
using base::KzSystemError;

namespace {

using internal::debugOn;
using internal::hex;
using internal::toMs;

using internal::kSendFlags;

// How much of one connection's data one maintenance pass reads at most, so
// that a fast sender cannot starve the others.
const size_t kReadChunk = size_t{64} * 1024;
const int kReadsPerPass = 16;

}  // namespace

// The server manager.

KzPersistentServerPoolManager::KzPersistentServerPoolManager(const ConnSettings& settings,
                                                             const KzTimeout& idle_timeout)
    : KzPersistentPoolManager("PSP-Manager", settings, idle_timeout) {}

KzPersistentServerPoolManager::~KzPersistentServerPoolManager() { Shutdown(); }

void KzPersistentServerPoolManager::SetRequestChecker(const KzRequestChecker& checker) {
  std::lock_guard<std::mutex> lock(mutex_);
  checker_ = checker;
}

void KzPersistentServerPoolManager::SetRequestTimeout(const KzTimeout& timeout) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    request_timeout_ = timeout;
  }
  // The maintenance thread recomputes what is due.
  SendControl(kControlRebuild);
}

uint64_t KzPersistentServerPoolManager::Buffered() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return buffered_;
}

void KzPersistentServerPoolManager::CloseAllLocked() {
  for (auto& l : listeners_) l->Close();
  listeners_.clear();
  for (auto& e : e_pool_) CloseConnection(e.conn, "closed with its pool");
  e_pool_.clear();
  buffered_ = 0;
  accept_backoff_ms_ = 0;
  accept_resume_ = Clock::time_point();
  KzPersistentPoolManager::CloseAllLocked();
}

std::vector<KzIpcPtr> KzPersistentServerPoolManager::Listeners() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return listeners_;
}

void KzPersistentServerPoolManager::OpenPoolsLocked() {
  const KzIpcFactory& factory = KzIpcFactory::Instance();
  listeners_.clear();
  // A server listens on every address it was given or on none: one that
  // cannot be opened (in use by a live server, say) fails the whole open.
  for (const KzAddressPtr& address : addresses_) {
    KzIpcPtr listening = factory.Create(address, nullptr);
    std::string why;
    if (listening) {
      try {
        listening->Create();
        listening->Listen(kListenBacklog);
        listeners_.push_back(listening);
        continue;
      } catch (const std::exception& e) {
        why = std::string(": ") + e.what();
        listening->Close();
      }
    }
    ipcLog().error("can`t create a listening connection at " + SpecOf(address) + why);
    for (auto& l : listeners_) l->Close();
    listeners_.clear();
    throw KzException("PP-Manager::Open - cannot create a listening connection at " +
                      SpecOf(address));
  }
  if (listeners_.empty()) {
    throw KzException("PP-Manager::Open - cannot create any listening connection");
  }
}

KzIpcPtr KzPersistentServerPoolManager::TakeReadyLocked(bool* create,
                                                        const KzRequestFilter& filter) {
  *create = false;
  for (auto it = r_pool_.begin(); it != r_pool_.end(); ++it) {
    if (filter && !filter(it->id)) continue;
    buffered_ -= it->Pending();
    KzIpcPtr conn = std::make_shared<KzBufferedChannel>(it->conn, std::move(it->in), it->skip);
    r_pool_.erase(it);
    ++active_;
    return conn;
  }
  return nullptr;
}

void KzPersistentServerPoolManager::Release(const KzIpcPtr& connection, bool healthy) {
  if (!connection) return;
  // A request the client sent before its answer came stays with it.
  KzIpcPtr inner = connection;
  std::string kept;
  size_t read = 0;
  std::string out;
  if (auto* buffered = dynamic_cast<KzBufferedChannel*>(connection.get())) {
    inner = buffered->Inner();
    buffered->Detach(&kept, &read);
    out = buffered->TakeOutput();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (active_ > 0) --active_;
  if (stats_.active > 0) --stats_.active;
  if (healthy && open_ && !suspended_ && inner->GetHandle() >= 0) {
    const auto now = Clock::now();
    e_pool_.push_back(Entry{inner, now, std::move(kept), now});
    Entry& entry = e_pool_.back();
    entry.skip = read;
    if (entry.Pending() == 0) {
      entry.in.clear();
      entry.skip = 0;
    }
    buffered_ += entry.Pending() + out.size();
    entry.out = std::move(out);
    entry.out_since = now;
    if (entry.Pending() > 0) ExamineLocked(std::prev(e_pool_.end()));
    SendControl(kControlRebuild);
    return;
  }
  CloseConnection(inner, "is closed on release");
}

void KzPersistentServerPoolManager::BuildWaitListLocked(std::vector<Watched>* list) {
  // Requests under way first: a pass reads what has arrived before it
  // accepts, so a full pool never sheds a connection whose request is in.
  for (const auto& e : e_pool_) {
    // A client that has not taken its answer yet sends nothing before.
    list->push_back(
        Watched{e.conn, kWatchEstablished, e.out.empty() ? short(POLLIN) : short(POLLOUT)});
  }
  // At the maximum a new client still gets in when an idle connection can
  // make room for it; only when every connection is busy, or accepting
  // rests, do new clients wait in the listen backlog.
  const size_t in_use = e_pool_.size() + r_pool_.size() + active_;
  if ((in_use < settings_.max || !e_pool_.empty()) && Clock::now() >= accept_resume_) {
    for (const auto& l : listeners_) list->push_back(Watched{l, kWatchListening});
  }
}

void KzPersistentServerPoolManager::ProcessEventLocked(const Watched& watched, short revents) {
  if (watched.kind == kWatchListening) {
    if (std::find(listeners_.begin(), listeners_.end(), watched.conn) == listeners_.end()) return;
    AcceptLocked(watched.conn);
    return;
  }
  auto it = std::find_if(e_pool_.begin(), e_pool_.end(),
                         [&](const Entry& e) { return e.conn == watched.conn; });
  if (it == e_pool_.end()) return;
  if (!it->out.empty()) {
    WriteLocked(it);
  } else {
    ReadLocked(it, revents);
  }
}

void KzPersistentServerPoolManager::WriteLocked(std::list<Entry>::iterator it) {
  ssize_t n;
  do {
    n = send(it->conn->GetHandle(), it->out.data(), it->out.size(), kSendFlags | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return;
    DropLocked(it, "is closed: its answer cannot be sent");
    return;
  }
  it->out.erase(0, static_cast<size_t>(n));
  buffered_ -= static_cast<uint64_t>(n);
  it->since = Clock::now();
  if (it->out.empty() && it->Pending() > 0) ExamineLocked(it);
}

void KzPersistentServerPoolManager::AcceptLocked(const KzIpcPtr& listening) {
  LogClass& log = ipcLog();
  if (debugOn()) log.debug("a new connection is ready to be established by " + listening->Text());
  KzIpcPtr conn;
  try {
    conn = CreateServerConnection(listening);
  } catch (const KzSystemError& e) {
    // Retrying at once would spin on the same failure: rest, doubling up
    // to a second, and say so once per episode.
    if (accept_backoff_ms_ == 0) {
      log.error("accept at " + listening->Text() + " failed: " + Utils::errorText(e.code()) +
                "; new connections wait until resources are free");
      accept_backoff_ms_ = 100;
    } else {
      accept_backoff_ms_ = std::min<uint32_t>(accept_backoff_ms_ * 2, 1000);
    }
    accept_resume_ = Clock::now() + std::chrono::milliseconds(accept_backoff_ms_);
    return;
  }
  if (!conn) return;
  if (accept_backoff_ms_ != 0) {
    log.info("accept at " + listening->Text() + " works again");
    accept_backoff_ms_ = 0;
  }
  ShedIfFullLocked();
  ++stats_.total_created;
  ++stats_.established;
  e_pool_.push_back(Entry{conn, Clock::now()});
  if (debugOn()) log.debug(conn->Text() + " is placed into the e-pool");
}

void KzPersistentServerPoolManager::ReadLocked(std::list<Entry>::iterator it, short revents) {
  if (chunk_.empty()) chunk_.resize(kReadChunk);
  const int fd = it->conn->GetHandle();
  bool closed = false;
  for (int round = 0; round < kReadsPerPass; ++round) {
    if (buffered_ >= buffer_limit_ && !MakeRoomLocked(it)) return;
    const size_t room =
        static_cast<size_t>(std::min<uint64_t>(kReadChunk, buffer_limit_ - buffered_));
    const ssize_t n = recv(fd, chunk_.data(), room, 0);
    if (n > 0) {
      const auto now = Clock::now();
      if (it->Pending() == 0) it->started = now;
      if (it->skip > 0) {
        // What was served goes only now, once per read, not once per request.
        it->in.erase(0, it->skip);
        it->needed = it->needed > it->skip ? it->needed - it->skip : 1;
        it->skip = 0;
      }
      it->in.append(chunk_.data(), static_cast<size_t>(n));
      buffered_ += static_cast<uint64_t>(n);
      it->since = now;
      if (static_cast<size_t>(n) < room) break;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    closed = true;
    break;
  }
  // A request that arrived in full is served even when the client has
  // stopped sending since.
  const Verdict verdict = it->Pending() == 0 ? kKept : ExamineLocked(it);
  if (verdict != kKept || !closed) return;
  if (debugOn()) {
    ipcLog().debug(it->conn->Text() + " has been closed (poll revent=0x" +
                   hex(static_cast<unsigned short>(revents)) + ")");
    ipcLog().debug("ServProcessEstablishedPool: POLLIN and recv return <= 0");
  }
  DropLocked(it, "is closed");
}

KzPersistentServerPoolManager::Verdict KzPersistentServerPoolManager::ExamineLocked(
    std::list<Entry>::iterator it) {
  if (!it->out.empty() || it->in.size() < it->needed) return kKept;
  KzRequestCheck check;
  if (checker_) {
    check = checker_(it->in, it->skip);
  } else {
    check.state = KzRequestCheck::kComplete;
  }
  switch (check.state) {
    case KzRequestCheck::kIncomplete:
      it->needed = std::max<uint64_t>(check.needed, it->in.size() + 1);
      return kKept;
    case KzRequestCheck::kInvalid:
      ipcLog().error("server: an protocol error over " + it->conn->Text() + ": " +
                     Utils::printable(check.error));
      DropLocked(it, "is closed");
      return kDropped;
    case KzRequestCheck::kComplete:
      break;
  }
  it->id = check.id;
  it->needed = 1;
  r_pool_.splice(r_pool_.end(), e_pool_, it);
  stats_.max_ready = std::max<uint32_t>(stats_.max_ready, static_cast<uint32_t>(r_pool_.size()));
  if (debugOn()) {
    ipcLog().debug(it->conn->Text() + " is placed into r-pool; size=" +
                   std::to_string(e_pool_.size() + r_pool_.size() + active_) + ", r=" +
                   std::to_string(r_pool_.size()) + ", min=" + std::to_string(settings_.min));
  }
  // Serving threads may take different requests: wake them all.
  ready_cond_.notify_all();
  return kMoved;
}

void KzPersistentServerPoolManager::DropLocked(std::list<Entry>::iterator it,
                                               const std::string& why) {
  buffered_ -= it->Pending() + it->out.size();
  CloseConnection(it->conn, why);
  e_pool_.erase(it);
}

bool KzPersistentServerPoolManager::MakeRoomLocked(std::list<Entry>::iterator reading) {
  auto victim = e_pool_.end();
  for (auto e = e_pool_.begin(); e != e_pool_.end(); ++e) {
    if (e->Pending() > 0 && (victim == e_pool_.end() || e->Pending() > victim->Pending())) {
      victim = e;
    }
  }
  if (victim == e_pool_.end()) victim = reading;
  ipcLog().info("PSP-Manager: the requests under way hold " + std::to_string(buffered_) +
                " bytes; " + victim->conn->Text() + ", holding " +
                std::to_string(victim->Pending()) + ", is closed");
  const bool same = victim == reading;
  DropLocked(victim, "is closed to free memory");
  return !same;
}

void KzPersistentServerPoolManager::ShedIfFullLocked() {
  if (e_pool_.size() + r_pool_.size() + active_ < settings_.max || e_pool_.empty()) return;
  // Only connections without a complete request are in the e-pool.
  auto oldest = std::min_element(e_pool_.begin(), e_pool_.end(),
                                 [](const Entry& a, const Entry& b) { return a.since < b.since; });
  ipcLog().info("PSP-Manager: the pool is full, the longest idle " + oldest->conn->Text() +
                " is closed for a new connection");
  DropLocked(oldest, "is closed for a new connection");
}

void KzPersistentServerPoolManager::RemoveIdleLocked(Clock::time_point now) {
  for (auto it = e_pool_.begin(); it != e_pool_.end();) {
    auto next = std::next(it);
    if (!it->out.empty()) {
      if (now - it->out_since >= toMs(request_timeout_)) {
        ++stats_.closed_by_timeout;
        DropLocked(it, "Remove by timeout: its answer was not taken");
      }
    } else if (it->Pending() > 0) {
      if (now - it->started >= toMs(request_timeout_)) {
        ipcLog().info(it->conn->Text() + " has not completed its request within " +
                      request_timeout_.Text() + ": closed");
        ++stats_.closed_by_timeout;
        DropLocked(it, "Remove by timeout");
      }
    } else if (!idle_timeout_.IsInfinite() && now - it->since >= toMs(idle_timeout_)) {
      ++stats_.closed_by_timeout;
      DropLocked(it, "Remove by timeout");
    }
    it = next;
  }
}

KzPersistentPoolManager::Clock::time_point KzPersistentServerPoolManager::NextDueLocked() const {
  Clock::time_point due = Clock::time_point::max();
  for (const auto& e : e_pool_) {
    if (!e.out.empty()) {
      if (!request_timeout_.IsInfinite()) {
        due = std::min(due, e.out_since + toMs(request_timeout_));
      }
    } else if (e.Pending() > 0) {
      if (!request_timeout_.IsInfinite()) due = std::min(due, e.started + toMs(request_timeout_));
    } else if (!idle_timeout_.IsInfinite()) {
      due = std::min(due, e.since + toMs(idle_timeout_));
    }
  }
  if (accept_backoff_ms_ != 0 && accept_resume_ > Clock::now()) due = std::min(due, accept_resume_);
  return due;
}

}  // namespace ipc
}  // namespace korza
