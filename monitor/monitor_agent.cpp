// The monitor's side of the agent: the session to it, and the reports of
// started and stopped applications, sent by a thread of their own so that
// no start, restart or stop waits for the agent.
#include <algorithm>
#include <memory>
#include <string>

#include "apps/application.h"
#include "base/flags.h"
#include "base/log.h"
#include "ipc/kz_app_proto.h"
#include "ipc/kz_pool.h"
#include "monitor/monitor.h"

using korza::monitorLog;
using korza::base::KzTimeout;

void Monitor::connectToAgent() { openAgentSession(false); }

void Monitor::reconnectToAgent() { openAgentSession(true); }

void Monitor::openAgentSession(bool replace) {
  monitorLog().debug(replace ? "Monitor::reconnectToAgent()" : "Monitor::connectToAgent()");
  {
    std::lock_guard<std::mutex> lock(agent_mutex_);
    if (agentSession && !replace) return;
  }
  std::shared_ptr<korza::ipc::KzClientSession> session;
  if (!settings.getAgentAddress().empty()) {
    std::string address = settings.getAgentAddress().front();
    // In check-all mode the components are checked against a temporary agent
    // listening beside the real one.
    if (checkAll) address += ".tmp";
    try {
      // No connection kept ready: one is made when an exchange is due,
      // within that exchange's time (AgentResponseTime for a report), and
      // kept for the next one while the agent keeps it open.
      auto pool = std::make_shared<korza::ipc::KzPersistentClientPoolManager>(
          korza::ipc::ConnSettings(0, 1));
      pool->SetConnectTimeout(
          KzTimeout(std::max<int32_t>(settings.getAgentResponseTime(), 1), KzTimeout::kSeconds));
      // An absent agent is tried once a second while a report waits, not at
      // the pool's default pace: every failed attempt is an error line.
      pool->SetPause(KzTimeout(1, KzTimeout::kSeconds));
      session = std::make_shared<korza::ipc::KzClientSession>(pool);
      session->Open(address);
    } catch (const std::exception& e) {
      session.reset();
      monitorLog().error("cannot connect to korza-agent at \"" + address +
                         "\": " + Utils::printable(e.what()));
    }
  }
  // Swapped in one step: a report taken meanwhile goes over the old session
  // (it keeps its own reference) or the new one, never over none.
  std::lock_guard<std::mutex> lock(agent_mutex_);
  if (replace || !agentSession) agentSession = std::move(session);
}

void Monitor::reportToAgent(const std::shared_ptr<korza::ipc::KzClientProtocol>& report,
                            const std::string& untold) {
  const size_t kMaxQueued = 256;
  std::lock_guard<std::mutex> lock(agent_mutex_);
  if (agentStop_) return;
  if (agentReports_.size() >= kMaxQueued) {
    monitorLog().error("cannot report to korza-agent: too many reports are waiting");
    return;
  }
  agentReports_.push_back(AgentReport{report, settings.getAgentResponseTime(), untold});
  if (!agentThread_.joinable()) {
    try {
      agentThread_ = std::thread([this] { agentReporter(); });
    } catch (const std::exception& e) {
      agentReports_.clear();
      monitorLog().error(std::string("cannot report to korza-agent: ") + e.what());
      return;
    }
  }
  agent_cond_.notify_one();
}

void Monitor::agentReporter() {
  for (;;) {
    AgentReport next;
    std::shared_ptr<korza::ipc::KzClientSession> session;
    {
      std::unique_lock<std::mutex> lock(agent_mutex_);
      agent_cond_.wait(lock, [this] { return agentStop_ || !agentReports_.empty(); });
      if (agentStop_) return;
      next = std::move(agentReports_.front());
      agentReports_.pop_front();
      session = agentSession;
      agentInFlight_ = session;
    }
    bool told = false;
    try {
      told = session &&
             session->Execute(next.report,
                              KzTimeout(std::max<int32_t>(next.timeout_s, 1), KzTimeout::kSeconds));
      if (!told) monitorLog().error("cannot report to korza-agent: no answer");
    } catch (const std::exception& e) {
      monitorLog().error(std::string("cannot report to korza-agent: ") +
                         Utils::printable(e.what()));
    }
    {
      std::lock_guard<std::mutex> lock(agent_mutex_);
      agentInFlight_.reset();
    }
    // What the agent did not hear is at least in the log.
    if (!told) monitorLog().info(next.untold);
  }
}

void Monitor::stopAgentReporter() {
  std::shared_ptr<korza::ipc::KzClientSession> session;
  {
    std::lock_guard<std::mutex> lock(agent_mutex_);
    agentStop_ = true;
    agentReports_.clear();
    session = agentInFlight_ ? agentInFlight_ : agentSession;
  }
  agent_cond_.notify_all();
  if (!agentThread_.joinable()) return;
  if (session) session->CancelThread(agentThread_.get_id());
  agentThread_.join();
}

bool Monitor::haveAgentSession() {
  connectToAgent();
  std::lock_guard<std::mutex> lock(agent_mutex_);
  return agentSession != nullptr;
}

void Monitor::appStarted(Application& app) {
  if (Utils::equalsNoCase(app.getName(), "AGENT")) return;
  if (!haveAgentSession()) {
    monitorLog().info("application \"" + app.getName() + "\" started");
    return;
  }
  reportToAgent(std::make_shared<korza::postd::KzStartAppClient>(
                    app.getName(), app.permissionsList(), app.singleArgv(), app.firstPid()),
                "application \"" + app.getName() + "\" started");
}

void Monitor::appStopped(Application& app) {
  if (Utils::equalsNoCase(app.getName(), "AGENT") || !isRunning()) return;
  if (!haveAgentSession()) {
    monitorLog().info("application \"" + app.getName() + "\" stoped");
    return;
  }
  reportToAgent(std::make_shared<korza::postd::KzStopAppClient>(app.getName(), app.firstPid()),
                "application \"" + app.getName() + "\" stoped");
}
