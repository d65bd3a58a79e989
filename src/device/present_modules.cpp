// The modules plugged in now, told apart by where they are plugged in.
#include <algorithm>

#include "device/session.h"
#include "link/com_port_name.h"
#include "link/port_source.h"
#include "upgrade/port_discovery.h"

namespace vek {

PresentModules ListPresentModules() {
  PresentModules present;
  for (const PortEntry& port : ActivePortSource()->ListPorts()) {
    if (port.friendly_name.find(kRoleDiagnostics) == std::string::npos) continue;
    const auto number = ComNumberOfName(port.friendly_name);
    if (!number) continue;
    if (port.usb_path.empty()) {
      ++present.without_usb_path;
      continue;
    }
    const bool known = std::any_of(present.modules.begin(), present.modules.end(),
                                   [&](const PresentModule& module) { return module.usb_path == port.usb_path; });
    if (!known) present.modules.push_back({port.usb_path, *number});
  }
  return present;
}

}  // namespace vek
