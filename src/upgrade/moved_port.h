// Following the module when it comes back under other numbers. A USB module drops
// off the bus at every change of program and may return as another USB device,
// whose ports get other COM numbers; where it is plugged in (its USB path) stays.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "records/job_records.h"

namespace vek {

// The number of the one port listed now with `role` in its friendly name at the
// module's USB path (the device record's usb_path), when port `from` is no longer
// listed. Nothing when the module's USB path is unknown, port `from` is still
// there, or no port (or more than one) of that role sits at the module's path:
// a port of another module is never taken.
std::optional<uint32_t> MovedPortNumber(std::string_view role, uint32_t from);

// The diagnostic port has moved: it becomes diag_port, the status line and the
// log say "diagnostic port moved from COM<old> to COM<new>" and the window's
// Comport list shows the new number. True when it moved.
bool FollowDiagPort(UpgradeJob& job);

// The same for the firmware's AT and NMEA ports ("AT port moved from ...",
// "NMEA port moved from ..."). True when either moved.
bool FollowFirmwarePorts(UpgradeJob& job);

}  // namespace vek
