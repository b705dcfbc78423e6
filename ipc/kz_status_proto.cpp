#include "ipc/kz_status_proto.h"

#include <ctime>

#include "base/kz_exception.h"

namespace korza {
namespace postd {

using base::KzException;

namespace {

ipc::KzPduPtr limitedUnit(uint64_t bytes) {
  auto unit = std::make_shared<ipc::KzDdpUnit>();
  unit->SetReceiveLimit(bytes);
  return unit;
}

int32_t getCount(ipc::KzPDU& unit, const char* what) {
  const int32_t count = unit.GetInt32();
  if (count < 0 || count > kMaxStatusEntries) {
    throw KzException(std::string("status: wrong number of ") + what + " " + std::to_string(count));
  }
  return count;
}

}  // namespace

const char* stateName(ComponentState state) {
  switch (state) {
    case ComponentState::kRunning:
      return "running";
    case ComponentState::kWaiting:
      return "waiting";
    case ComponentState::kGivenUp:
      return "given up";
    case ComponentState::kStopped:
      break;
  }
  return "stopped";
}

bool PutStatus(ipc::KzPDU& unit, const StatusSnapshot& status, int64_t now) {
  bool ok = unit.AddInt32(status.pid) && unit.AddInt64(status.startTime) &&
            unit.AddString(status.version) && unit.AddInt64(status.time) && unit.AddInt64(now) &&
            unit.AddInt32(static_cast<int32_t>(status.applications.size()));
  for (const ApplicationStatus& app : status.applications) {
    ok = ok && unit.AddString(app.name) && unit.AddString(app.fullName) &&
         unit.AddBool(app.started) && unit.AddBool(app.inRunList) &&
         unit.AddInt32(static_cast<int32_t>(app.components.size()));
    for (const ComponentStatus& c : app.components) {
      ok = ok && unit.AddString(c.name) && unit.AddInt32(c.pid) &&
           unit.AddInt32(static_cast<int32_t>(c.state)) && unit.AddInt64(c.dueTime) &&
           unit.AddInt64(c.lastStart) && unit.AddInt32(c.restarts) &&
           unit.AddInt64(c.lastFaultTime) && unit.AddString(c.lastFault);
    }
  }
  return ok;
}

void GetStatus(ipc::KzPDU& unit, StatusSnapshot* status, int64_t* now) {
  status->pid = unit.GetInt32();
  status->startTime = unit.GetInt64();
  status->version = unit.GetString();
  status->time = unit.GetInt64();
  *now = unit.GetInt64();
  status->applications.resize(static_cast<size_t>(getCount(unit, "applications")));
  for (ApplicationStatus& app : status->applications) {
    app.name = unit.GetString();
    app.fullName = unit.GetString();
    app.started = unit.GetBool();
    app.inRunList = unit.GetBool();
    app.components.resize(static_cast<size_t>(getCount(unit, "components")));
    for (ComponentStatus& c : app.components) {
      c.name = unit.GetString();
      c.pid = unit.GetInt32();
      const int32_t state = unit.GetInt32();
      if (state < 0 || state > static_cast<int32_t>(ComponentState::kGivenUp)) {
        throw KzException("status: unknown component state " + std::to_string(state));
      }
      c.state = static_cast<ComponentState>(state);
      c.dueTime = unit.GetInt64();
      c.lastStart = unit.GetInt64();
      c.restarts = unit.GetInt32();
      c.lastFaultTime = unit.GetInt64();
      c.lastFault = unit.GetString();
    }
  }
}

ipc::KzPduPtr KzStatusClient::CreateUnit() const { return limitedUnit(kMaxStatusResponseBytes); }

bool KzStatusClient::BuildRequest(ipc::KzPDU& request) {
  answered_ = false;
  return request.AddInt32(kStatusFormat);
}

bool KzStatusClient::ParseResponse(ipc::KzPDU& response) {
  const int32_t format = response.GetInt32();
  if (format != kStatusFormat) {
    throw KzException("status: unknown answer format " + std::to_string(format));
  }
  GetStatus(response, &status_, &serverTime_);
  answered_ = true;
  return true;
}

ipc::KzPduPtr KzStatusServer::CreateUnit() const { return limitedUnit(kMaxStatusRequestBytes); }

bool KzStatusServer::BuildResponse(ipc::KzPDU& request, ipc::KzPDU& response) {
  const int32_t format = request.GetInt32();
  if (format != kStatusFormat) {
    throw KzException("KzStatusServer::BuildResponse: unknown request format " +
                      std::to_string(format));
  }
  const StatusSnapshotPtr status = processor_();
  if (!status) return false;
  if (!response.AddInt32(kStatusFormat) || !PutStatus(response, *status, ::time(nullptr))) {
    throw KzException("KzStatusServer::BuildResponse error");
  }
  return true;
}

bool KzStatusServer::ScanRequest(ipc::KzRequestScanner& scanner) const {
  scanner.Int32();
  return true;
}

}  // namespace postd
}  // namespace korza
