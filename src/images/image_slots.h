// The loaded files of a job and the one-byte image codes of the streaming protocol.
#pragma once

#include <cstdint>

namespace vek {

// One slot per kind of file in an image folder.
enum class ImageSlot : int {
  kProgrammer,  // the HEX programmer; after loading, its converted byte image
  kPartition,
  kQcsblhdCfgdata,
  kQcsbl,
  kPbl,
  kOemsblhd,
  kOemsbl,
  kAmsshd,
  kAmss,
  kDbl,
  kFsbl,
  kOsbl,
};
inline constexpr int kImageSlotCount = 12;

// Image codes of the streaming protocol's open request.
enum ImageType : uint8_t {
  IMAGE_PBL = 1,
  IMAGE_QCSBLHD_CFGDATA = 2,
  IMAGE_QCSBL = 3,
  IMAGE_OEMSBL = 4,
  IMAGE_AMSS = 5,
  IMAGE_EFS = 9,  // opened only to erase the EFS
  IMAGE_DBL = 15,
  IMAGE_OSBL = 16,
  IMAGE_FSBL = 17,
};

// A borrowed view of one loaded slot; data is null when the slot is empty.
struct ImageView {
  const uint8_t* data = nullptr;
  int32_t size = 0;
};

}  // namespace vek
