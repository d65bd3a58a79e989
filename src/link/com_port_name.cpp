#include "link/com_port_name.h"

namespace vek {

std::optional<uint32_t> ComNumberOfName(std::string_view name) {
  const auto com = name.find("COM");
  const auto close = name.find(')');
  if (com == std::string_view::npos || close == std::string_view::npos) return std::nullopt;
  const auto first_digit = com + 3;
  if (close < first_digit) return std::nullopt;
  const std::string_view digits = name.substr(first_digit, close - first_digit);
  if (digits.empty() || digits.size() > 9) return std::nullopt;
  uint32_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  if (value == 0) return std::nullopt;
  return value;
}

}  // namespace vek
