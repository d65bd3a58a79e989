#include "images/image_set.h"

#include <mutex>

namespace vek {
namespace {

// Guarded because a pulled cable frees the set on the window's thread, after
// the worker has been stopped.
std::mutex slots_mutex;
std::vector<uint8_t> slots[kImageSlotCount];

}  // namespace

ImageView SlotData(ImageSlot slot) {
  std::lock_guard lock(slots_mutex);
  const auto& bytes = slots[static_cast<int>(slot)];
  if (bytes.empty()) return {};
  return ImageView{bytes.data(), static_cast<int32_t>(bytes.size())};
}

void StoreImageSlot(ImageSlot slot, std::vector<uint8_t> bytes) {
  std::lock_guard lock(slots_mutex);
  slots[static_cast<int>(slot)] = std::move(bytes);
}

void FreeImageSet() {
  std::lock_guard lock(slots_mutex);
  for (auto& bytes : slots) std::vector<uint8_t>().swap(bytes);
}

}  // namespace vek
