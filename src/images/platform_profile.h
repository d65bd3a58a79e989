// Everything that differs between the chipset platforms, one row per platform.
// The download code reads the row; it never asks "which platform is it?".
#pragma once

#include <cstdint>
#include <span>

#include "images/image_slots.h"

namespace vek {

// Which identity names the copy of the NV backup.
enum class BackupCopyName { kImei, kMeid };

struct ImageToWrite {
  ImageType type;
  const char* start_text;         // shown and logged before the image is opened
  const char* open_failure_text;  // shown and logged when the open is refused
};

struct PlatformProfile {
  uint32_t platform;
  const char* programmer_file;
  std::span<const ImageSlot> files;         // checked and loaded in this order
  std::span<const ImageToWrite> images;     // written in this order
  uint32_t stream_block_size;               // data bytes per streaming write block
  uint8_t security_mode;                    // byte of the security-mode request
  bool port_stays_open_for_programmer;      // probe for the programmer without reopening the port
  BackupCopyName backup_copy_name;
  bool product_subfolders = false;          // the product catalogue may narrow the image folder
};

// The row of a platform, or null for PLATFORM_NONE and any unknown value.
const PlatformProfile* ProfileOf(uint32_t platform);

// The file name that stands in a slot (the programmer slot: the platform's HEX file).
const char* SlotFileName(ImageSlot slot, const PlatformProfile& profile);

// The slot whose data a streaming image type writes, and the slot of its open header.
bool SlotOfImageData(ImageType type, ImageSlot& slot);
bool SlotOfImageHeader(ImageType type, ImageSlot& slot);

}  // namespace vek
