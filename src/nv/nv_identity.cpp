#include "nv/nv_identity.h"

#include <cstdio>

namespace vek {
namespace {

constexpr int kImeiMaxBcdBytes = 8;
constexpr size_t kImeiDigits = 15;
constexpr int kMeidMaxBytes = 128;

}  // namespace

std::string ImeiText(const uint8_t* item_data) {
  if (item_data == nullptr) return {};
  const int bcd_bytes = item_data[0];
  if (bcd_bytes > kImeiMaxBcdBytes) return {};
  std::string text;
  for (int i = 1; i <= bcd_bytes; ++i) {
    const uint8_t low = item_data[i] & 0x0F;
    const uint8_t high = item_data[i] >> 4;
    // The first nibble (the identity type, 0xA for an IMEI) is dropped below.
    if (i > 1 && low > 9) break;
    text.push_back(static_cast<char>('0' + low));
    if (high > 9) break;
    text.push_back(static_cast<char>('0' + high));
  }
  if (text.empty()) return {};
  return text.substr(1, kImeiDigits);
}

std::string MeidText(const uint8_t* item_data) {
  if (item_data == nullptr) return {};
  std::string text = "00";
  for (int i = 0; i < kMeidMaxBytes && item_data[i] != 0x00; ++i) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%x", item_data[i]);
    text += hex;
    if (text.size() >= kIdentityTextMax) break;
  }
  if (text.size() > kIdentityTextMax) text.resize(kIdentityTextMax);
  return text;
}

std::string IdentityCopyName(const std::string& text) {
  if (text.empty() || text.size() > kIdentityTextMax) return {};
  for (const char c : text)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return {};
  return text + ".nvb";
}

}  // namespace vek
