#include "ipc/kz_pool.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "base/kz_exception.h"
#include "base/log.h"
#include "base/utils.h"

namespace korza {
namespace ipc {

using base::KzException;
using base::KzNeedRecall;
using base::KzParameterError;
using base::KzSessionDestroyed;
using base::KzSystemError;
using base::KzThreadCanceled;
using base::KzTimedOut;

namespace {

std::string hex(unsigned v) { return Utils::format(16, "%x", v); }

bool debugOn() { return ipcLog().isEnabled(kLogDebug); }

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

std::chrono::milliseconds toMs(const KzTimeout& t) { return std::chrono::milliseconds(t.ms()); }

#ifdef MSG_NOSIGNAL
const int kSendFlags = MSG_NOSIGNAL;
#else
const int kSendFlags = 0;
#endif

// Accept failures that pass when descriptors or memory are freed.
bool lacksResources(int err) {
  return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

// A connection attempt of the maintenance thread holds up its other work
// for at most this long.
const KzTimeout kMaintenanceConnectTimeout(1000u);
// How much of one connection's data one maintenance pass reads at most, so
// that a fast sender cannot starve the others.
const size_t kReadChunk = size_t{64} * 1024;
const int kReadsPerPass = 16;

}  // namespace

void ConnSettings::Check() const {
  if (max > 65535) {
    throw KzParameterError("ConnSettings::Check", "max number of connections",
                           std::to_string(max) + "(too much)");
  }
  if (min > max) throw KzParameterError("ConnSettings::Check", "min is greater than max");
}

KzTimeout ConnectTimeoutFromEnvironment() {
  const char* text = getenv("KZ_CONNECT_TIMEOUT");
  if (text == nullptr) return KzTimeout(10, KzTimeout::kSeconds);
  // A negative number asks for no limit (a negative time-out is infinite).
  return KzTimeout(atoi(text), KzTimeout::kSeconds);
}

// The maintenance thread.

KzMaintainThread::KzMaintainThread(KzIfMaintainedPool* pool) : pool_(pool) {
  if (pool_ == nullptr) {
    ipcLog().error("MaintainThread::ctor - maintained pool doesn't specified");
    throw KzParameterError("MaintainThread::ctor", "pool", "null");
  }
  try {
    thread_ = std::thread(&KzMaintainThread::Run, this);
  } catch (const std::exception& e) {
    ipcLog().error(std::string("MaintainThread::ctor - cannot create thread: ") + e.what());
    throw KzException("MaintainThread::ctor - cannot create thread");
  }
}

KzMaintainThread::~KzMaintainThread() { Join(); }

void KzMaintainThread::Join() {
  if (thread_.joinable()) thread_.join();
}

void KzMaintainThread::Run() {
  try {
    pool_->Maintain();
  } catch (const KzThreadCanceled&) {
    ipcLog().debug("KzMaintainThread: catch stop thread");
    ipcLog().debug("catch stop thread..");
  } catch (const std::exception& e) {
    ipcLog().error(std::string("MaintainThread::run exception(") + e.what() + ")");
  } catch (...) {
    ipcLog().error("MaintainThread::run exception(unknown)");
  }
}

// The common part.

KzSessionPoolManager::KzSessionPoolManager(const ConnSettings& settings)
    : settings_(settings),
      connect_timeout_(ConnectTimeoutFromEnvironment()),
      pause_(100u),
      stats_start_(time(nullptr)) {
  settings_.Check();
}

void KzSessionPoolManager::CorrectConnectionsNum(const ConnSettings& settings) {
  settings.Check();
  std::lock_guard<std::mutex> lock(mutex_);
  ipcLog().info("CorrectConnectionsNum - number of connection changed from " +
                std::to_string(settings_.min) + "-" + std::to_string(settings_.max) + " to " +
                std::to_string(settings.min) + "-" + std::to_string(settings.max));
  settings_ = settings;
}

ConnSettings KzSessionPoolManager::Settings() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return settings_;
}

KzPoolStatistics KzSessionPoolManager::Statistics() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stats_;
}

void KzSessionPoolManager::SetStatisticsFile(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  stats_file_ = path;
}

void KzSessionPoolManager::WriteStatistics() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stats_file_.empty()) return;
  // Appended as root: never through a link, never kept by a started program.
  int fd;
  do fd = open(stats_file_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  while (fd < 0 && errno == EINTR);
  FILE* f = fd < 0 ? nullptr : fdopen(fd, "a");
  if (f == nullptr) {
    const int err = errno;
    if (fd >= 0) close(fd);
    errno = err;
    ipcLog().error("Error in open file " + stats_file_ +
                   " for writing: " + Utils::errorText(errno));
    return;
  }
  const time_t now = time(nullptr);
  const long period = static_cast<long>(now - stats_start_);
  const double seconds = period > 0 ? static_cast<double>(period) : 1.0;
  char start_text[32];
  char now_text[32];
  if (ctime_r(&stats_start_, start_text) == nullptr) snprintf(start_text, sizeof start_text, "\n");
  if (ctime_r(&now, now_text) == nullptr) snprintf(now_text, sizeof now_text, "\n");
  fprintf(f, "%s\n", std::string(70, '=').c_str());
  fprintf(f, "start:  %s", start_text);
  fprintf(f, "curr:   %s", now_text);
  fprintf(f, "period: %ldd %ldh %ldm %lds\n\n", period / 86400, period % 86400 / 3600,
          period % 3600 / 60, period % 60);
  const KzPoolStatistics& s = stats_;
  fprintf(f, "total created = %u (%f num/sec)\n", s.total_created, s.total_created / seconds);
  if (!IsServer()) {
    fprintf(f, "created on request = %u (%f num/sec)\n", s.created_on_request,
            s.created_on_request / seconds);
    fprintf(f, "closed by timeout = %u (%f num/sec)\n", s.closed_by_timeout,
            s.closed_by_timeout / seconds);
    fprintf(f, "avg number = %llu\n",
            static_cast<unsigned long long>(s.total_created ? s.sum / s.total_created : 0));
    fprintf(f, "max cre = %u est=%u don=%u act=%u\n", s.max_created, s.established, s.donor,
            s.active);
  } else {
    fprintf(f, "max rea=%u est=%u don=%u act=%u\n", s.max_ready, s.established, s.donor, s.active);
  }
  fprintf(f, "closed: %u (%f num/sec)\n", s.closed, s.closed / seconds);
  fclose(f);
  ipcLog().info("Success append ipc statistic to " + stats_file_ + " file");
  stats_start_ = now;
}

KzIpcPtr KzSessionPoolManager::CreateClientConnection(const KzAddressPtr& local,
                                                      const KzAddressPtr& address,
                                                      const KzTimeout& timeout,
                                                      std::string* error) {
  LogClass& log = ipcLog();
  const std::string spec = SpecOf(address);
  log.debug("attempt to create connection to " + spec);
  KzIpcPtr conn = KzIpcFactory::Instance().Create(local, address);
  const auto fail = [&](const std::string& text) {
    log.error(text);
    if (error != nullptr) *error = text;
    if (conn) conn->Close();
    return nullptr;
  };
  if (!conn) return fail("Pool::CreateClientConnection - cannot create connection to " + spec);
  try {
    log.debug("call connect to " + spec);
    if (!conn->Connect(timeout)) {
      return fail("CreateClientConnection - cannot establish a connection to " + spec +
                  " (timed out)");
    }
  } catch (const std::exception& e) {
    return fail("CreateClientConnection - cannot establish a connection to " + spec + ": " +
                e.what());
  }
  if (debugOn()) log.debug("Pool::CreateClientConnection - an established " + conn->Text());
  return conn;
}

KzIpcPtr KzSessionPoolManager::CreateServerConnection(const KzIpcPtr& listening) {
  if (!listening) throw KzParameterError("CreateServerConnection", "ListeningConnection", "null");
  const std::string spec = SpecOf(listening->GetLocalAddress());
  if (debugOn()) {
    ipcLog().debug("Pool::CreateServerConnection - ready to accept connection at " + spec);
  }
  try {
    return listening->Accept(base::kTimeoutNowait);
  } catch (const KzSystemError& e) {
    if (lacksResources(e.code())) throw;
    ipcLog().error("Pool::CreateServerConnection - cannot accept a connection at " + spec + ": " +
                   e.what());
    return nullptr;
  } catch (const std::exception& e) {
    ipcLog().error("Pool::CreateServerConnection - cannot accept a connection at " + spec + ": " +
                   e.what());
    return nullptr;
  }
}

// The maintained part.

KzPersistentPoolManager::KzPersistentPoolManager(const std::string& name,
                                                 const ConnSettings& settings,
                                                 const KzTimeout& idle_timeout)
    : KzSessionPoolManager(settings),
      name_(name),
      idle_timeout_(idle_timeout),
      maintenance_timeout_(base::kTimeoutInfinite) {
  try {
    control_.reset(new base::KzControl(name_));
  } catch (const std::exception& e) {
    ipcLog().error(std::string("PoolManager::ctor - cannot create a control: ") + e.what());
    throw KzException("PoolManager::ctor - cannot create a control");
  }
}

void KzPersistentPoolManager::Shutdown() {
  WakeUpAll();
  Close();
}

void KzPersistentPoolManager::SendControl(uint32_t command) {
  try {
    control_->Send(command);
  } catch (const std::exception& e) {
    ipcLog().error(std::string("PP-Manager: control - ") + e.what());
  }
}

void KzPersistentPoolManager::Open(const KzAddressList& addresses) {
  if (addresses.empty()) throw KzParameterError("PP-Manager::Open", "addresses", "empty");
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (open_) throw KzException("PP-Manager::Open - the pool is already opened");
    addresses_ = addresses;
    suspended_ = false;
    destroyed_ = false;
    cancel_ids_.clear();
    control_->Clear();
    OpenPoolsLocked();
    open_ = true;
    ++state_seq_;
    try {
      thread_.reset(new KzMaintainThread(this));
    } catch (const std::exception&) {
      open_ = false;
      CloseAllLocked();
      throw KzException("PP-Manager::Open - cannot creates of the session maintainer");
    }
  }
  CreatePool();
}

void KzPersistentPoolManager::Reopen(const KzAddressList& addresses) {
  Close();
  Open(addresses);
}

void KzPersistentPoolManager::Close() {
  std::unique_ptr<KzMaintainThread> thread;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = false;
    ++state_seq_;
    thread = std::move(thread_);
    ready_cond_.notify_all();
  }
  if (thread) {
    SendControl(kControlStop);
    thread->Join();
  }
  bool report;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    CloseAllLocked();
    report = !stats_file_.empty();
  }
  if (report) WriteStatistics();
}

void KzPersistentPoolManager::Suspend() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!open_) throw KzException("PP-Manager::Suspend - the pool is not opened");
    suspended_ = true;
    ++state_seq_;
    CloseAllLocked();
    ready_cond_.notify_all();
  }
  SendControl(kControlSuspend);
}

void KzPersistentPoolManager::Resume() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!open_) throw KzException("PP-Manager::Resume - the pool is not opened");
    OpenPoolsLocked();
    suspended_ = false;
    ++state_seq_;
    ready_cond_.notify_all();
  }
  SendControl(kControlResume);
  CreatePool();
}

void KzPersistentPoolManager::WakeUpAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  ipcLog().debug("WakeUpAll: num of sleeping threads =" + std::to_string(sleepers_));
  destroyed_ = true;
  ready_cond_.notify_all();
}

void KzPersistentPoolManager::CancelThread(std::thread::id id) {
  std::lock_guard<std::mutex> lock(mutex_);
  cancel_ids_.insert(id);
  ready_cond_.notify_all();
}

void KzPersistentPoolManager::CancelationAcknowledge(std::thread::id id) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (cancel_ids_.erase(id) > 0) ipcLog().debug("PP-Manager::CancelationAcknowledge");
}

size_t KzPersistentPoolManager::ReadyCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return r_pool_.size();
}

KzIpcPtr KzPersistentPoolManager::GetReady(const KzDeadline& deadline,
                                           const KzRequestFilter& filter) {
  LogClass& log = ipcLog();
  std::unique_lock<std::mutex> lock(mutex_);
  const uint64_t seq = state_seq_;
  for (;;) {
    if (destroyed_) {
      log.debug("PP-Manager::GetReady - destroy");
      throw KzSessionDestroyed();
    }
    if (state_seq_ != seq || !open_ || suspended_) {
      log.debug("PP-Manager::GetReady - a state is changed, recall is nessessary");
      throw KzNeedRecall();
    }
    if (cancel_ids_.erase(std::this_thread::get_id()) > 0) {
      log.debug("CheckCancelAndExitIfNeed - find request for my cancel");
      log.debug("PP-Manager::GetReady - got event for a cancelation of thread");
      log.debug("PP-Manager::CancelationAcknowledge");
      throw KzThreadCanceled("PP-Manager::GetReady");
    }
    bool create = false;
    KzIpcPtr conn = TakeReadyLocked(&create, filter);
    if (conn) {
      ++stats_.active;
      return conn;
    }
    if (create) {
      lock.unlock();
      conn = CreateOnRequest(deadline);
      lock.lock();
      if (conn) {
        ++stats_.active;
        return conn;
      }
      continue;
    }
    const KzTimeout remaining = deadline.Remaining();
    if (remaining.ms() == 0) {
      log.debug("_WaitReady: timeout with num=" + std::to_string(sleepers_));
      throw KzTimedOut(base::TimedOutText("PP-Manager::GetReady", deadline));
    }
    if (debugOn()) {
      log.debug("_WaitReady: num=" + std::to_string(sleepers_) + " is infinite=" +
                (remaining.IsInfinite() ? "1" : "0") + " timeout=" + remaining.Text());
    }
    ++sleepers_;
    const auto now = Clock::now();
    if (next_create_ > now) {
      // A failed attempt blocks new ones for a pause; wake when it ends.
      auto until = next_create_;
      if (!remaining.IsInfinite()) until = std::min(until, now + toMs(remaining));
      ready_cond_.wait_until(lock, until);
    } else if (remaining.IsInfinite()) {
      ready_cond_.wait(lock);
    } else {
      ready_cond_.wait_for(lock, toMs(remaining));
    }
    --sleepers_;
  }
}

bool KzPersistentPoolManager::Detach(std::list<Entry>* pool, const KzIpcPtr& conn) {
  for (auto it = pool->begin(); it != pool->end(); ++it) {
    if (it->conn == conn) {
      pool->erase(it);
      return true;
    }
  }
  return false;
}

void KzPersistentPoolManager::CloseConnection(const KzIpcPtr& conn, const std::string& why) {
  if (debugOn()) ipcLog().debug(conn->Text() + " " + why);
  conn->Close();
  if (stats_.established > 0) --stats_.established;
  ++stats_.closed;
}

void KzPersistentPoolManager::CloseAllLocked() {
  for (auto& e : r_pool_) CloseConnection(e.conn, "closed with its pool");
  r_pool_.clear();
}

void KzPersistentPoolManager::Maintain() {
  LogClass& log = ipcLog();
  std::vector<Watched> list;
  std::vector<struct pollfd> fds;
  for (;;) {
    list.clear();
    Clock::time_point due = Clock::time_point::max();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (open_ && !suspended_) {
        BuildWaitListLocked(&list);
        due = NextDueLocked();
      }
    }
    // Sleep until an event or the next time-out; nothing else is periodic.
    KzTimeout wait = maintenance_timeout_;
    if (due != Clock::time_point::max()) {
      const auto left = due - Clock::now();
      // Rounded up, so the wake-up finds the time-out due.
      const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
      wait = std::min(
          wait,
          KzTimeout(ms > 0 ? static_cast<uint32_t>(std::min<int64_t>(ms, base::kTimeoutMax.ms()))
                           : 0u));
    }
    fds.assign(list.size() + 1, pollfd());
    fds[0].fd = control_->fd();
    fds[0].events = POLLIN;
    for (size_t i = 0; i < list.size(); ++i) {
      fds[i + 1].fd = list[i].conn->GetHandle();
      fds[i + 1].events = list[i].events;
    }
    // SelectReady: wait for the control pipe and every watched connection.
    const base::KzDeadline deadline(wait);
    int n;
    for (;;) {
      n = poll(fds.data(), fds.size(), deadline.Remaining().PollMs());
      if (n >= 0 || errno != EINTR) break;
      log.debug("::SelectReady: waiting for " + std::to_string(list.size()) +
                " connections is interrupted");
    }
    if (n < 0) {
      const int err = errno;
      log.error("Maintain: polling exception - multiplexor waiting for " +
                std::to_string(list.size()) + " connections was failed : " + Utils::errorText(err));
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    if (n == 0 && debugOn()) {
      log.debug("::SelectReady: waiting for " + std::to_string(list.size()) +
                " connections is timed out (timeout=" + wait.Text() + ")");
    }
    if (n > 0 && debugOn()) {
      for (const auto& p : fds) {
        if (p.revents != 0) {
          log.debug("::SelectReady: an event(0x" + hex(static_cast<unsigned short>(p.revents)) +
                    ") is occured for connection(fd=" + std::to_string(p.fd) + ")");
        }
      }
    }
    if (fds[0].revents & POLLIN) {
      uint32_t command;
      try {
        command = control_->Read();
      } catch (const KzSystemError& e) {
        log.error(std::string("Maintain: control is broken - ") + e.what());
        return;
      }
      log.debug("Maintain: got control command -> 0x" + hex(command));
      if (command == kControlStop) throw KzThreadCanceled("KzPersistentPoolManager::Maintain");
      if (command != kControlRebuild && command != kControlSuspend && command != kControlResume) {
        log.error("Maintain: unknown control command -> " + std::to_string(command));
      }
    } else if (fds[0].revents != 0) {
      log.error("Maintain: control is down");
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!open_ || suspended_) continue;
      for (size_t i = 0; i < list.size(); ++i) {
        if (fds[i + 1].revents != 0) ProcessEventLocked(list[i], fds[i + 1].revents);
      }
      RemoveIdleLocked(Clock::now());
    }
    AfterMaintenancePass();
  }
}

// The client manager.

KzPersistentClientPoolManager::KzPersistentClientPoolManager(const ConnSettings& settings,
                                                             const KzTimeout& idle_timeout)
    : KzPersistentPoolManager("PCP-Manager", settings, idle_timeout) {}

KzPersistentClientPoolManager::~KzPersistentClientPoolManager() { Shutdown(); }

uint32_t KzPersistentClientPoolManager::Total() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return total_;
}

size_t KzPersistentPoolManager::IdleCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return IdleCountLocked();
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
