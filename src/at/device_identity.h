// Reading the module's identity over its AT (or NMEA) port: manufacturer reply,
// software version, IMEI or MEID, product ids, and whether it is the special
// model whose defaults must not be restored.
#pragma once

#include <cstdint>

namespace vek {

// Marks a valid identity reply.
inline constexpr const char* kKeyManufacturer = "Manufacturer";
inline constexpr const char* kKeyRevision = "Revision:";
inline constexpr const char* kKeyImei = "IMEI:";
inline constexpr const char* kKeyMeid = "MEID:";
inline constexpr const char* kKeyDeviceInfo = "DeviceInfo:";
// The model that gets no EFS erase and keeps "Restore default" disabled.
inline constexpr const char* kSpecialModel = "ZX4410QRA";

// after_upgrade 0: the reading when the module is connected; fills sw_version,
// imei, the product ids and the window. after_upgrade 1: the reading after a
// download; fills new_sw_version. True when "ATI" or the maker's identity
// command got a reply holding "Manufacturer".
bool ReadDeviceIdentity(uint32_t port, int after_upgrade);

}  // namespace vek
