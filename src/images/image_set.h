// The process-wide image set: the files of one job, read whole into memory
// before the download starts. The download steps borrow the slots; only
// FreeImageSet releases them.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "images/image_fingerprint.h"
#include "images/image_slots.h"

namespace vek {

// Twelve slots, one per kind of file; an empty vector is an empty slot.
// Each file is held once: the download steps borrow views, never copies.
struct ImageSet {
  std::array<std::vector<uint8_t>, kImageSlotCount> slots;
  ImageSetFingerprint fingerprint;  // of the files as loaded; no files when none is
};

// The loaded bytes of a slot (an empty view when nothing is loaded there).
ImageView SlotData(ImageSlot slot);

// Puts bytes into a slot, replacing (and releasing) what it held (used by the
// loader, and by tests that hand the download steps their data directly).
void StoreImageSlot(ImageSlot slot, std::vector<uint8_t> bytes);

// Keeps the fingerprint of the set just loaded (the loader, once per load).
void StoreImageSetFingerprint(ImageSetFingerprint fingerprint);

// The fingerprint of the loaded set (no files while nothing is loaded).
ImageSetFingerprint LoadedImageSetFingerprint();

// Releases every slot and forgets the fingerprint. Harmless when nothing is loaded.
void FreeImageSet();

// True when no slot holds bytes.
bool ImageSetEmpty();

}  // namespace vek
