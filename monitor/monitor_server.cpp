#include "monitor/monitor_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <sstream>

#include "apps/informer.h"
#include "apps/notification_context.h"
#include "base/flags.h"
#include "base/kz_exception.h"
#include "base/log.h"
#include "base/utils.h"
#include "ipc/kz_factory.h"
#include "monitor/updater.h"

using korza::monitorLog;
using korza::base::KzTimeout;
using korza::ipc::KzServerSession;
using Utils::printable;

namespace {

std::string joined(const std::vector<std::string>& items) {
  std::string text;
  for (const auto& item : items) text += (text.empty() ? "" : ",") + item;
  return text;
}

bool isLoopback(const korza::ipc::KzIpcAddress& address) {
  const struct sockaddr* sa = address.SockAddr();
  if (sa == nullptr) return false;
  if (sa->sa_family == AF_INET) {
    const auto* in = reinterpret_cast<const struct sockaddr_in*>(sa);
    return (ntohl(in->sin_addr.s_addr) >> 24) == 127;
  }
  if (sa->sa_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const struct sockaddr_in6*>(sa);
    if (IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr)) return true;
    return IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr) && in6->sin6_addr.s6_addr[12] == 127;
  }
  return false;
}

}  // namespace

MonitorServer::MonitorServer(const std::string& conf_file, const std::string& run_list,
                             bool update_mode)
    : ThreadSafetyMonitor(conf_file, run_list, update_mode),
      reloadCompServer(std::make_shared<korza::postd::KzReloadCompServer>(
          [this](const std::list<int32_t>& pids) { return reloadCompProcessor(pids); })),
      updateServer(std::make_shared<korza::postd::KzUpdateServer>(
          [this](const std::string& a, const std::string& b, const std::string& c) {
            return updateProcessor(a, b, c);
          })),
      statusServer(
          std::make_shared<korza::postd::KzStatusServer>([this] { return statusProcessor(); })),
      restartServer(std::make_shared<korza::postd::KzRestartServer>(
          [this](const std::vector<std::string>& targets, const korza::ipc::KzPeer& peer) {
            return restartProcessor(targets, peer);
          })) {}

MonitorServer::~MonitorServer() {
  monitorLog().debug("MonitorServer::~MonitorServer()");
  try {
    stop();
  } catch (const std::exception& e) {
    monitorLog().error(std::string("MonitorServer: stop error: ") + e.what());
  }
}

void MonitorServer::checkAddresses(const std::vector<std::string>& addresses) {
  korza::ipc::KzAddressList resolved;
  try {
    resolved = korza::ipc::ResolveAddressList(addresses);
  } catch (const std::exception&) {
    return;  // opening the session reports it
  }
  for (const auto& address : resolved) {
    if (!address || address->GetDomain() != AF_INET || isLoopback(*address)) continue;
    monitorLog().alert("control address \"" + address->GetSpec() +
                       "\" is reachable from other hosts: whoever can connect to it can run " +
                       "update scripts as " + korza::kProgramName);
  }
}

void MonitorServer::createServerSession() {
  const std::set<std::string>& configured = getSettings().getAddress();
  const std::vector<std::string> addresses(configured.begin(), configured.end());
  try {
    auto pool = std::make_shared<korza::ipc::KzPersistentServerPoolManager>();
    auto created = std::make_shared<KzServerSession>(pool);
    created->Register(reloadCompServer);
    created->Register(updateServer);
    created->Register(statusServer);
    created->Register(restartServer);
    created->SetRequestTimeout(KzTimeout(getSettings().getTimeout(), KzTimeout::kSeconds));
    {
      std::lock_guard<std::mutex> lock(session_mutex_);
      session = created;
    }
    checkAddresses(addresses);
    created->Open(addresses);
  } catch (const std::exception& e) {
    closeSession();
    throw InitError("cannot create server session (" + joined(addresses) + "): " + e.what());
  }
}

void MonitorServer::start() {
  if (!checkMode && !checkAll) createServerSession();
  Monitor::start();
  monitorLog().debug("MonitorServer::start: creating thread monitorProtoThread");
  using korza::postd::kRestartProtocol;
  using korza::postd::kUpdateProtocol;
  try {
    monitorProtoThread = std::thread([this] {
      serve([](uint32_t id) { return id != kUpdateProtocol && id != kRestartProtocol; });
    });
    updateThread =
        std::thread([this] { serve([](uint32_t id) { return id == kUpdateProtocol; }); });
    restartThread =
        std::thread([this] { serve([](uint32_t id) { return id == kRestartProtocol; }); });
  } catch (const std::exception& e) {
    throw InitError(std::string("cannot create monitorProtoThread thread: ") + e.what());
  }
  std::ostringstream id;
  id << monitorProtoThread.get_id();
  monitorLog().debug("MonitorServer::start: created thread monitorProtoThread: id=" + id.str());
  const MonitorConfReader& s = getSettings();
  NotificationContext::setMailAddresses(s.getFilterMail(), s.getAdminMail());
  setInjectCmd(s.getInjectCmd());
  // The agent has been asked meanwhile; requests should see what it said.
  Mediator::instance().setAccount(s.getUser(), s.getGroup(), s.getMta());
}

std::shared_ptr<KzServerSession> MonitorServer::currentSession() {
  std::lock_guard<std::mutex> lock(session_mutex_);
  return session;
}

void MonitorServer::serve(const korza::ipc::KzRequestFilter& filter) {
  while (getState() == RunState::INIT) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  while (getState() == RunState::STARTED) {
    const std::shared_ptr<KzServerSession> s = currentSession();
    if (!s) break;
    try {
      s->Execute(KzTimeout(KzTimeout::kInfiniteMs), filter);
    } catch (const korza::base::KzThreadCanceled&) {
      // Woken by stop, or the session was closed: the state decides.
      if (s->StateId() != korza::ipc::KzSessionState::kOpened) break;
    } catch (const std::exception& e) {
      monitorLog().error("MonitorServer: serving error: " + printable(e.what()));
    }
  }
}

void MonitorServer::closeSession() {
  std::shared_ptr<KzServerSession> s;
  {
    std::lock_guard<std::mutex> lock(session_mutex_);
    s.swap(session);
  }
  if (!s) return;
  if (monitorProtoThread.joinable()) s->CancelThread(monitorProtoThread.get_id());
  if (updateThread.joinable()) s->CancelThread(updateThread.get_id());
  if (restartThread.joinable()) s->CancelThread(restartThread.get_id());
  try {
    s->Close();
  } catch (const std::exception& e) {
    monitorLog().error(std::string("MonitorServer: cannot close the session: ") + e.what());
  }
}

void MonitorServer::stop() {
  monitorLog().debug("MonitorServer::stop()");
  Monitor::stop();
  closeSession();
  if (monitorProtoThread.joinable()) {
    monitorLog().debug("MonitorServer::stop(): joining monitorProtoThread");
    monitorProtoThread.join();
    monitorLog().debug("MonitorServer::stop(): monitorProtoThread joined");
  }
  // An update under way ends soon after the run state left STARTED.
  if (updateThread.joinable()) updateThread.join();
  // A restart under way was answered when the main loop ended.
  if (restartThread.joinable()) restartThread.join();
}

bool MonitorServer::reloadCompProcessor(const std::list<int32_t>& pids) {
  monitorLog().debug("MonitorServer::reloadCompProcessor()");
  PidSet set;
  for (int32_t pid : pids) {
    monitorLog().debug("reload component with pid = " + std::to_string(pid));
    set.insert(pid);
  }
  Mediator::instance().addChangedConf(set);
  return true;
}

std::pair<bool, std::string> MonitorServer::updateProcessor(const std::string& a,
                                                            const std::string& b,
                                                            const std::string& c) {
  monitorLog().debug("updateProcessor() " + printable(a) + ", " + printable(b) + ", " +
                     printable(c));
  Mediator& mediator = Mediator::instance();
  const std::string permissions = mediator.permissions();
  const std::string mta = mediator.mta();
  Updater& updater = Updater::instance();
  std::pair<bool, std::string> result = updater.PreUpdate(a, b, c, mta, permissions);
  // The update step runs on the main loop, which may be asleep.
  if (result.first) wake();
  return result;
}

std::pair<bool, std::string> MonitorServer::restartProcessor(
    const std::vector<std::string>& targets, const korza::ipc::KzPeer& peer) {
  monitorLog().debug("MonitorServer::restartProcessor()");
  if (!peer.unixSocket) {
    return {false, "restart requests are served only on local: and unix: addresses"};
  }
  if (!peer.known) return {false, "the account of the requesting process cannot be told"};
  bool allowed = peer.uid == 0 || peer.uid == geteuid();
  const std::string user = Mediator::instance().user();
  if (!allowed && !user.empty()) {
    try {
      allowed = peer.uid == Utils::userId(user);
    } catch (const Utils::error&) {
      // An account that cannot be looked up allows nobody.
    }
  }
  if (!allowed) {
    monitorLog().alert("restart request refused for uid " + std::to_string(peer.uid));
    return {false, "uid " + std::to_string(peer.uid) + " may not restart components"};
  }
  if (targets.empty()) return {false, "no component named"};
  return restartComponents(targets, peer.uid);
}

korza::postd::StatusSnapshotPtr MonitorServer::statusProcessor() {
  monitorLog().debug("MonitorServer::statusProcessor()");
  return statusSnapshot();
}
