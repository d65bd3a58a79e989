// Where the present serial ports come from: a list of (friendly name, device
// path, USB port path when known).
//
// The port-map file named by VEK_PORT_MAP (or set by a front end) stands in for
// the system's device list; without one the system's own source is used.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vek {

struct PortEntry {
  std::string friendly_name;  // e.g. "Modem Diagnostics Port (COM7)"
  std::string device_path;    // e.g. "/dev/pts/7"
  std::string usb_path;    // e.g. "1-2.3", sysfs's busnum-devpath; empty when unknown
};

class PortSource {
 public:
  virtual ~PortSource() = default;
  // The ports present now, in enumeration order.
  virtual std::vector<PortEntry> ListPorts() = 0;
};

// Longest friendly name kept (the rest of the line makes it unusable, so it is skipped).
inline constexpr size_t kMaxFriendlyName = 259;

// Chooses the port-map file for this process instead of VEK_PORT_MAP
// (an empty path returns to the environment's choice).
void SetPortMapPath(const std::string& path);

// The port-map file in force: the one set above, else VEK_PORT_MAP, else none.
std::optional<std::string> ActivePortMapPath();

// Installs the source used when no port map is in force (the system's devices).
void SetSystemPortSource(std::shared_ptr<PortSource> source);

// Narrows every listing to the ports of the module plugged in at `usb_path`
// (one module among several): the others are not listed, so nothing finds,
// counts, watches or opens them. An empty path lists every port again.
void ChooseModuleUsbPath(const std::string& usb_path);

// The module chosen above; empty when every port is listed.
std::string ChosenModuleUsbPath();

// The source in force now, narrowed to the chosen module when there is one.
std::shared_ptr<PortSource> ActivePortSource();

// The device path of the present port whose friendly name carries COM number n.
std::optional<std::string> ResolvePortNumber(uint32_t number);

// The USB port path of that same port: nullopt when no present port carries the
// number, an empty text when the port's USB path is unknown.
std::optional<std::string> ResolveUsbPath(uint32_t number);

}  // namespace vek
