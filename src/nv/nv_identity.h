// The module's identity as read from its NV items, and the name of the backup
// copy made from it.
#pragma once

#include <cstdint>
#include <string>

namespace vek {

inline constexpr uint16_t kImeiItem = 550;
inline constexpr uint16_t kMeidItem = 1943;
inline constexpr size_t kIdentityTextMax = 39;

// IMEI of item 550's data: byte 0 the count L (at most 8) of BCD bytes that
// follow, low nibble first; the first nibble is the identity type and is
// dropped; a nibble above 9 ends the digits. At most 15 digits.
std::string ImeiText(const uint8_t* item_data);

// MEID of item 1943's data: "00", then each byte up to the first 0x00 in
// lower-case hexadecimal without leading zeros; at most 39 characters.
std::string MeidText(const uint8_t* item_data);

// "<text>.nvb" for a non-empty text of digits and lower-case hex letters
// only; empty otherwise, so a copy can only ever land in the working folder.
std::string IdentityCopyName(const std::string& text);

}  // namespace vek
