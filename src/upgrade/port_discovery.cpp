#include "upgrade/port_discovery.h"

#include <string_view>

#include "link/com_port_name.h"
#include "link/port_source.h"
#include "records/job_facts.h"
#include "records/job_records.h"

namespace vek {
namespace {

bool Holds(std::string_view name, std::string_view role) { return name.find(role) != std::string_view::npos; }

}  // namespace

bool FindModulePorts() {
  DeviceInfo& device = TheDevice();
  bool found_diag = false;
  for (const PortEntry& port : ActivePortSource()->ListPorts()) {
    // A name without a usable number names no port that could be opened.
    const auto number = ComNumberOfName(port.friendly_name);
    if (!number) continue;
    if (Holds(port.friendly_name, kRoleDiagnostics)) {
      device.diag_port.store(*number);
      device.usb_path.Set(port.usb_path);
      NotePort("COM" + std::to_string(*number), port.usb_path);
      found_diag = true;
    }
    if (Holds(port.friendly_name, kRoleAtPort)) device.at_port.store(*number);
    if (Holds(port.friendly_name, kRoleNmea)) device.nmea_port.store(*number);
  }
  return found_diag;
}

int CountDiagPorts() {
  int count = 0;
  for (const PortEntry& port : ActivePortSource()->ListPorts())
    if (Holds(port.friendly_name, kRoleDiagnostics) && ++count > 1) return 2;
  return count;
}

}  // namespace vek
