#include "store/valid_utf8.h"

#include <cstdint>
#include <cstdio>

namespace vek {
namespace {

// The length of the whole UTF-8 character at `at` (shortest form, no surrogate,
// at most U+10FFFF); 0 when the byte there does not start one.
size_t CharacterAt(const std::string& text, size_t at) {
  const auto byte = [&](size_t i) { return i < text.size() ? static_cast<uint8_t>(text[i]) : 0; };
  const auto follows = [&](size_t i) { return (byte(i) & 0xC0) == 0x80; };
  const uint8_t first = byte(at);
  if (first != 0 && first < 0x80) return 1;
  if (first >= 0xC2 && first <= 0xDF) return follows(at + 1) ? 2 : 0;
  if (first >= 0xE0 && first <= 0xEF) {
    const uint8_t second = byte(at + 1);
    const bool shortest = first != 0xE0 || second >= 0xA0;
    const bool no_surrogate = first != 0xED || second < 0xA0;
    return follows(at + 1) && follows(at + 2) && shortest && no_surrogate ? 3 : 0;
  }
  if (first >= 0xF0 && first <= 0xF4) {
    const uint8_t second = byte(at + 1);
    const bool in_range = (first != 0xF0 || second >= 0x90) && (first != 0xF4 || second < 0x90);
    return follows(at + 1) && follows(at + 2) && follows(at + 3) && in_range ? 4 : 0;
  }
  return 0;
}

}  // namespace

std::string ValidUtf8(const std::string& text) {
  std::string valid;
  valid.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    if (const size_t length = CharacterAt(text, at); length > 0) {
      valid.append(text, at, length);
      at += length;
      continue;
    }
    char escaped[5];
    std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<uint8_t>(text[at]));
    valid += escaped;
    ++at;
  }
  return valid;
}

}  // namespace vek
