// Finding the module's ports among the serial ports present now, by the role
// their friendly names carry: "Diagnostics", "AT Port" and "NMEA".
#pragma once

namespace vek {

inline constexpr const char* kRoleDiagnostics = "Diagnostics";
inline constexpr const char* kRoleAtPort = "AT Port";
inline constexpr const char* kRoleNmea = "NMEA";

// One pass over the present ports (ActivePortSource()): sets diag_port, at_port
// and nmea_port of the device record (and its usb_path, from the diagnostic
// port) from every name that holds the role and a COM number, the last such
// port winning. Fields without a match keep their values. True when any present name holds "Diagnostics" with a number.
bool FindModulePorts();

// 0, 1, or 2 for more than one present port named "Diagnostics".
int CountDiagPorts();

}  // namespace vek
