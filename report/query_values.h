// The values a question of vek-report may name, checked the same way whether
// they come from its command line or from a page's address: a module's ID, a
// SHA-256, a day or a UTC time. Anything else is refused, never guessed at.
#pragma once

#include <optional>
#include <string>

namespace vekreport {

// 64 hexadecimal digits.
bool IsHex64(const std::string& text);

// An IMEI (15 digits) or MEID (14 hexadecimal digits), as the module reports it.
bool IsModuleId(const std::string& text);

// A time as the tables keep them: a day ("2026-12-01"), a UTC time
// ("2026-12-01T08:00:00Z"), today or yesterday (UTC days); nothing for
// anything else, a day or time the calendar and the clock do not have too.
std::optional<std::string> SinceOf(std::string text);

}  // namespace vekreport
