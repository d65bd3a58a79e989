// Reading a small text file whole: the port map, the USB role table, /proc entries.
#pragma once

#include <cstddef>
#include <string>

namespace vek {

// What a file longer than the limit gives.
enum class TooLarge {
  kNothing,  // "" : a file that large is not what it should be (the port map, the role table)
  kCut,      // its first `limit` bytes (a /proc listing that may grow)
};

// The text of a regular file, at most `limit` bytes; "" when it cannot be opened
// or read, or is not a regular file. Never blocks on a FIFO or a device.
std::string ReadSmallFile(const std::string& path, size_t limit, TooLarge too_large);

}  // namespace vek
