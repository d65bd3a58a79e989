#include "upgrade/moved_port.h"

#include <string>

#include "link/com_port_name.h"
#include "link/port_source.h"
#include "records/job_facts.h"
#include "records/reporting.h"
#include "records/stop_wait.h"
#include "upgrade/port_discovery.h"

namespace vek {
namespace {

// Moves `field` to the port's new number and says so. True when it moved.
bool Follow(UpgradeJob& job, std::atomic<uint32_t>& field, std::string_view role, const char* what) {
  const uint32_t from = field.load();
  if (from == 0) return false;
  const std::optional<uint32_t> to = MovedPortNumber(role, from);
  if (!to) return false;
  field.store(*to);
  job.show_status("%s moved from COM%u to COM%u", what, from, *to);
  job.write_log("%s moved from COM%u to COM%u", what, from, *to);
  return true;
}

}  // namespace

std::optional<uint32_t> MovedPortNumber(std::string_view role, uint32_t from) {
  const std::string usb_path = TheDevice().usb_path.Get();
  if (usb_path.empty()) return std::nullopt;
  std::optional<uint32_t> moved;
  for (const PortEntry& port : ActivePortSource()->ListPorts()) {
    const auto number = ComNumberOfName(port.friendly_name);
    if (!number) continue;
    if (*number == from) return std::nullopt;  // still listed: it has not gone, or is back already
    if (port.usb_path != usb_path || port.friendly_name.find(role) == std::string::npos) continue;
    if (moved) return std::nullopt;  // two candidates: which one is ours cannot be told
    moved = *number;
  }
  return moved;
}

bool FollowDiagPort(UpgradeJob& job) {
  DeviceInfo& device = TheDevice();
  if (!Follow(job, device.diag_port, kRoleDiagnostics, "diagnostic port")) return false;
  NotePort("COM" + std::to_string(device.diag_port.load()), {});
  if (WindowNotifications* window = CurrentWindow(); window != nullptr && !StopRequested())
    window->ShowDiagPort(device.diag_port);
  return true;
}

bool FollowFirmwarePorts(UpgradeJob& job) {
  DeviceInfo& device = TheDevice();
  const bool at_moved = Follow(job, device.at_port, kRoleAtPort, "AT port");
  const bool nmea_moved = Follow(job, device.nmea_port, kRoleNmea, "NMEA port");
  return at_moved || nmea_moved;
}

}  // namespace vek
