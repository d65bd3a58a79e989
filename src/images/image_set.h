// The process-wide image set: the files of one job, read whole into memory
// before the download starts. The download steps borrow the slots; only
// FreeImageSet releases them.
#pragma once

#include <cstdint>
#include <vector>

#include "images/image_slots.h"

namespace vek {

// The loaded bytes of a slot (an empty view when nothing is loaded there).
ImageView SlotData(ImageSlot slot);

// Puts bytes into a slot, replacing what it held (used by the loader, and by
// tests that hand the download steps their data directly).
void StoreImageSlot(ImageSlot slot, std::vector<uint8_t> bytes);

// Releases every slot. Harmless when nothing is loaded.
void FreeImageSet();

}  // namespace vek
