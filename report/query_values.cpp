#include "report/query_values.h"

#include <cctype>
#include <chrono>
#include <cstdio>

namespace vekreport {

bool IsHex64(const std::string& text) {
  if (text.size() != 64) return false;
  for (char c : text)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

std::optional<std::string> SinceOf(std::string text) {
  using namespace std::chrono;
  char shown[32];
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (text == "TODAY" || text == "YESTERDAY") {
    const year_month_day day{floor<days>(system_clock::now()) - days(text == "YESTERDAY" ? 1 : 0)};
    std::snprintf(shown, sizeof shown, "%04d-%02u-%02u", static_cast<int>(day.year()),
                  static_cast<unsigned>(day.month()), static_cast<unsigned>(day.day()));
    return shown;
  }
  auto number = [&](size_t from, size_t count) -> std::optional<unsigned> {
    unsigned value = 0;
    for (size_t i = from; i < from + count; ++i) {
      if (i >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
      value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    return value;
  };
  const auto y = number(0, 4), m = number(5, 2), d = number(8, 2);
  if (!y || !m || !d || text[4] != '-' || text[7] != '-' ||
      !year_month_day{year(static_cast<int>(*y)), month(*m), day(*d)}.ok())
    return std::nullopt;
  if (text.size() == 10) return text;
  const auto hours = number(11, 2), minutes = number(14, 2), seconds = number(17, 2);
  if (text.size() != 20 || text[10] != 'T' || text[13] != ':' || text[16] != ':' || text[19] != 'Z' || !hours ||
      !minutes || !seconds || *hours > 23 || *minutes > 59 || *seconds > 59)
    return std::nullopt;
  return text;
}

bool IsModuleId(const std::string& text) {
  if (text.empty() || text.size() > 20) return false;
  for (char c : text)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

}  // namespace vekreport
