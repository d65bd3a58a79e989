#include "images/image_set.h"

#include <mutex>

namespace vek {
namespace {

// Guarded because a pulled cable frees the set on the window's thread, after
// the worker has been stopped.
std::mutex set_mutex;
ImageSet the_set;

}  // namespace

ImageView SlotData(ImageSlot slot) {
  std::lock_guard lock(set_mutex);
  const auto& bytes = the_set.slots[static_cast<int>(slot)];
  if (bytes.empty()) return {};
  return ImageView{bytes.data(), static_cast<int32_t>(bytes.size())};
}

void StoreImageSlot(ImageSlot slot, std::vector<uint8_t> bytes) {
  std::vector<uint8_t> released;
  std::lock_guard lock(set_mutex);
  released.swap(the_set.slots[static_cast<int>(slot)]);
  the_set.slots[static_cast<int>(slot)] = std::move(bytes);
}

void StoreImageSetFingerprint(ImageSetFingerprint fingerprint) {
  std::lock_guard lock(set_mutex);
  the_set.fingerprint = std::move(fingerprint);
}

ImageSetFingerprint LoadedImageSetFingerprint() {
  std::lock_guard lock(set_mutex);
  return the_set.fingerprint;
}

void FreeImageSet() {
  std::lock_guard lock(set_mutex);
  for (auto& bytes : the_set.slots) std::vector<uint8_t>().swap(bytes);
  the_set.fingerprint = {};
}

bool ImageSetEmpty() {
  std::lock_guard lock(set_mutex);
  for (const auto& bytes : the_set.slots)
    if (!bytes.empty()) return false;
  return true;
}

}  // namespace vek
