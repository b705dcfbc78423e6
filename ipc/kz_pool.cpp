#include "ipc/kz_pool.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "base/kz_exception.h"
#include "base/log.h"
#include "base/utils.h"
#include "ipc/kz_internal.h"

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

using internal::debugOn;
using internal::hex;
using internal::toMs;

// Accept failures that pass when descriptors or memory are freed.
bool lacksResources(int err) {
  return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

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

size_t KzPersistentPoolManager::IdleCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return IdleCountLocked();
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

}  // namespace ipc
}  // namespace korza
