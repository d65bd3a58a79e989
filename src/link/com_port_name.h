// The port numbers carried in port names: "Modem Diagnostics Port (COM12)" as the
// port source lists it, "COM12" as a port event names it. One digit reader serves
// all three readings below; each keeps the rule its caller has always used.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vek {

// A friendly name's COM number: the decimal number between the end of the first
// "COM" and the first ")". Names where ")" comes first, with no ")", with anything
// but 1 to 9 digits there, or with the number 0 carry no number.
std::optional<uint32_t> ComNumberOfName(std::string_view friendly_name);

// A port event's name: the leading digits (at most 9) after the first "COM";
// nothing without "COM" or without a digit right after it.
std::optional<uint32_t> ComNumberOfPortName(std::string_view port_name);

// Every decimal digit of the name, in order (at most 9), read as one number;
// 0 when there are none ("COM12" gives 12).
uint32_t DigitsOfName(std::string_view name);

}  // namespace vek
