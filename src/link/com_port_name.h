// The COM number carried in a port's friendly name, e.g. "Modem Diagnostics Port (COM12)".
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vek {

// The decimal number between the end of the first "COM" and the first ")".
// Names where ")" comes first, with no ")", with anything but 1 to 9 digits
// there, or with the number 0 carry no number.
std::optional<uint32_t> ComNumberOfName(std::string_view friendly_name);

}  // namespace vek
