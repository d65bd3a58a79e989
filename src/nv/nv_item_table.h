// Which NV items a backup saves, and how: one entry per item id 0 … 7157.
#pragma once

#include <array>
#include <cstdint>

namespace vek {

struct NvItemEntry {
  uint16_t count = 0;   // 0: a plain item, read once; n > 0: an array item, read for indices 0 … n
  uint8_t enabled = 1;  // 1: the item is backed up
};

inline constexpr int kNvItemCount = 7158;

extern const std::array<NvItemEntry, kNvItemCount> NvItemTable;

}  // namespace vek
