#include "link/com_port_name.h"

namespace vek {
namespace {

constexpr int kMaxDigits = 9;  // nine decimal digits always fit 32 bits

struct Digits {
  uint32_t value = 0;
  int count = 0;
};

// Reads at most nine digits from the start of `text`: up to the first other
// character, or (skip_others) past every other character.
Digits ReadDigits(std::string_view text, bool skip_others) {
  Digits digits;
  for (char c : text) {
    if (digits.count == kMaxDigits) break;
    if (c < '0' || c > '9') {
      if (skip_others) continue;
      break;
    }
    digits.value = digits.value * 10 + static_cast<uint32_t>(c - '0');
    ++digits.count;
  }
  return digits;
}

}  // namespace

std::optional<uint32_t> ComNumberOfName(std::string_view name) {
  const auto com = name.find("COM");
  const auto close = name.find(')');
  if (com == std::string_view::npos || close == std::string_view::npos) return std::nullopt;
  const auto first_digit = com + 3;
  if (close < first_digit) return std::nullopt;
  const std::string_view text = name.substr(first_digit, close - first_digit);
  const Digits digits = ReadDigits(text, false);
  // Every character up to ")" a digit, and no more than nine of them.
  if (digits.count == 0 || static_cast<size_t>(digits.count) != text.size() || digits.value == 0) return std::nullopt;
  return digits.value;
}

std::optional<uint32_t> ComNumberOfPortName(std::string_view name) {
  const auto com = name.find("COM");
  if (com == std::string_view::npos) return std::nullopt;
  const Digits digits = ReadDigits(name.substr(com + 3), false);
  if (digits.count == 0) return std::nullopt;
  return digits.value;
}

uint32_t DigitsOfName(std::string_view name) { return ReadDigits(name, true).value; }

}  // namespace vek
