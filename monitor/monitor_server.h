// The control server: the supervisor that listens on the monitor's own
// addresses (/Monitor/Address) for reload-component (8200), update (8204)
// and status (8300) requests and serves them on its own thread,
// monitorProtoThread. An update request, whose pre-update script may run
// for minutes, is served by a second thread, updateThread, so that status
// and reload requests are answered meanwhile; update requests wait for it
// one after another. Both threads reach the supervisor only through the
// mediator, the changed-configuration queue and the published status
// snapshot; the updates themselves run later on the main-loop thread.
//
// Thread safety: start and stop run on the main thread; the processors on
// monitorProtoThread. The session pointer is guarded by its own mutex so
// that stop can take it away while the thread is serving.
#ifndef KORZA_MONITOR_MONITOR_SERVER_H_
#define KORZA_MONITOR_MONITOR_SERVER_H_

#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ipc/kz_control_proto.h"
#include "ipc/kz_restart_proto.h"
#include "ipc/kz_session.h"
#include "ipc/kz_status_proto.h"
#include "monitor/thread_safety_monitor.h"

class MonitorServer : public ThreadSafetyMonitor {
 public:
  MonitorServer(const std::string& conf_file, const std::string& run_list, bool update_mode);
  ~MonitorServer() override;

  // In standard mode opens the control session on every /Monitor/Address
  // entry (throws InitError "cannot create server session (ADDRESSES): ..."),
  // then starts the applications and monitorProtoThread.
  void start() override;
  // Stops the applications, closes the session and joins the thread.
  void stop() override;

  // The processors of the protocols (monitorProtoThread; updateProcessor
  // on updateThread).
  bool reloadCompProcessor(const std::list<int32_t>& pids);
  std::pair<bool, std::string> updateProcessor(const std::string& a, const std::string& b,
                                               const std::string& c);
  korza::postd::StatusSnapshotPtr statusProcessor();
  // Restarts components for root, the daemon's account or /Monitor/User,
  // asking over a Unix-domain address (restartThread).
  std::pair<bool, std::string> restartProcessor(const std::vector<std::string>& targets,
                                                const korza::ipc::KzPeer& peer);

 private:
  void createServerSession();
  void closeSession();
  // Serves the requests that `filter` accepts while the daemon runs.
  void serve(const korza::ipc::KzRequestFilter& filter);
  std::shared_ptr<korza::ipc::KzServerSession> currentSession();
  // Warns about control addresses other machines can reach.
  void checkAddresses(const std::vector<std::string>& addresses);

  std::mutex session_mutex_;
  std::shared_ptr<korza::ipc::KzServerSession> session;  // GUARDED_BY(session_mutex_)
  std::shared_ptr<korza::postd::KzReloadCompServer> reloadCompServer;
  std::shared_ptr<korza::postd::KzUpdateServer> updateServer;
  std::shared_ptr<korza::postd::KzStatusServer> statusServer;
  std::shared_ptr<korza::postd::KzRestartServer> restartServer;
  // Status and reload requests; updates (a pre-update script may run for
  // minutes) and restarts (they wait for the new instances) each on their
  // own thread, so that neither holds up the others.
  std::thread monitorProtoThread;
  std::thread updateThread;
  std::thread restartThread;
};

#endif  // KORZA_MONITOR_MONITOR_SERVER_H_
