// Image folders for trying and testing a download: a HEX programmer and the
// platform's images, filled with reproducible bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// Intel HEX text holding `bytes` as data records of 16 bytes, with an address
// record first and an end-of-file record last.
std::string HexTextOf(const std::vector<uint8_t>& bytes);

// Reproducible bytes of a given length (a different stream per seed).
std::vector<uint8_t> PatternBytes(size_t length, uint32_t seed);

// Writes every file of `platform` into `folder` (created if missing): a
// programmer of `programmer_bytes`, a partition table of 64 bytes, headers of
// 80 bytes and images of `image_bytes` each (amss.mbn four times that).
// Returns false when a file cannot be written.
bool WriteImageFolder(const std::string& folder, uint32_t platform, size_t programmer_bytes, size_t image_bytes);

}  // namespace sim
