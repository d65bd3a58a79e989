#include "sim/demo_images.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "images/platform_profile.h"

namespace sim {
namespace {

const char kHexDigits[] = "0123456789ABCDEF";

void AppendHexByte(std::string& text, uint8_t byte) {
  text.push_back(kHexDigits[byte >> 4]);
  text.push_back(kHexDigits[byte & 0x0F]);
}

// One record: length, 16-bit offset, type, data, two's-complement checksum.
void AppendRecord(std::string& text, uint16_t offset, uint8_t type, const uint8_t* data, size_t length) {
  uint8_t sum = static_cast<uint8_t>(length + (offset >> 8) + (offset & 0xFF) + type);
  text.push_back(':');
  AppendHexByte(text, static_cast<uint8_t>(length));
  AppendHexByte(text, static_cast<uint8_t>(offset >> 8));
  AppendHexByte(text, static_cast<uint8_t>(offset & 0xFF));
  AppendHexByte(text, type);
  for (size_t i = 0; i < length; ++i) {
    AppendHexByte(text, data[i]);
    sum = static_cast<uint8_t>(sum + data[i]);
  }
  AppendHexByte(text, static_cast<uint8_t>(-sum));
  text += "\r\n";
}

bool WriteFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

}  // namespace

std::string HexTextOf(const std::vector<uint8_t>& bytes) {
  std::string text;
  text.reserve(bytes.size() * 3 + 64);
  const uint8_t upper_address[] = {0x00, 0x80};
  AppendRecord(text, 0, 0x04, upper_address, 2);
  for (size_t at = 0; at < bytes.size(); at += 16) {
    const size_t length = std::min<size_t>(16, bytes.size() - at);
    AppendRecord(text, static_cast<uint16_t>(at & 0xFFFF), 0x00, bytes.data() + at, length);
  }
  AppendRecord(text, 0, 0x01, nullptr, 0);
  return text;
}

std::vector<uint8_t> PatternBytes(size_t length, uint32_t seed) {
  std::vector<uint8_t> bytes(length);
  uint32_t state = seed * 2654435761u + 1;
  for (auto& byte : bytes) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    byte = static_cast<uint8_t>(state);
  }
  return bytes;
}

bool WriteImageFolder(const std::string& folder, uint32_t platform, size_t programmer_bytes, size_t image_bytes) {
  const vek::PlatformProfile* profile = vek::ProfileOf(platform);
  if (profile == nullptr) return false;
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  uint32_t seed = 1;
  for (vek::ImageSlot slot : profile->files) {
    const std::filesystem::path path = std::filesystem::path(folder) / vek::SlotFileName(slot, *profile);
    std::string contents;
    switch (slot) {
      case vek::ImageSlot::kProgrammer:
        contents = HexTextOf(PatternBytes(programmer_bytes, seed));
        break;
      case vek::ImageSlot::kPartition:
      case vek::ImageSlot::kOemsblhd:
      case vek::ImageSlot::kAmsshd: {
        const auto bytes = PatternBytes(slot == vek::ImageSlot::kPartition ? 64 : 80, seed);
        contents.assign(bytes.begin(), bytes.end());
        break;
      }
      default: {
        const auto bytes = PatternBytes(slot == vek::ImageSlot::kAmss ? image_bytes * 4 : image_bytes, seed);
        contents.assign(bytes.begin(), bytes.end());
        break;
      }
    }
    ++seed;
    if (!WriteFile(path, contents)) return false;
  }
  return true;
}

}  // namespace sim
