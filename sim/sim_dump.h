// Writing what the simulated module holds into files, so that a script can
// compare it with the image folder: one file per flash image, the partition
// table, and the NV store as one file.
#pragma once

#include <string>

#include "sim/sim_device.h"

namespace sim {

// The file names inside the dump folder.
std::string FlashImageFileName(uint8_t image_type);   // "flash-05.bin": the image's data
std::string FlashHeaderFileName(uint8_t image_type);  // "flash-05.hdr": its open header
inline constexpr char kPartitionFileName[] = "partition.bin";

// Every item's elements in item order, 128 bytes each.
bool DumpNvStore(const SimNvStore& nv, const std::string& path);
// The flash images and the partition table into `folder` (created if missing).
bool DumpFlash(SimDevice& device, const std::string& folder);

}  // namespace sim
