#include "sim/sim_dump.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace sim {
namespace {

bool WriteBytes(const std::string& path, const uint8_t* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  return static_cast<bool>(out);
}

std::string WithType(const char* format, uint8_t image_type) {
  char name[32];
  std::snprintf(name, sizeof name, format, image_type);
  return name;
}

}  // namespace

std::string FlashImageFileName(uint8_t image_type) { return WithType("flash-%02X.bin", image_type); }
std::string FlashHeaderFileName(uint8_t image_type) { return WithType("flash-%02X.hdr", image_type); }

bool DumpNvStore(const SimNvStore& nv, const std::string& path) {
  std::vector<uint8_t> bytes;
  for (const auto& item : nv.Snapshot())
    for (const NvBytes& element : item) bytes.insert(bytes.end(), element.begin(), element.end());
  return WriteBytes(path, bytes.data(), bytes.size());
}

bool DumpFlash(SimDevice& device, const std::string& folder) {
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  std::lock_guard lock(device.mutex);
  bool ok = WriteBytes(folder + "/" + kPartitionFileName, device.partition_table.data(), device.partition_table.size());
  for (const auto& [type, image] : device.flash) {
    ok = WriteBytes(folder + "/" + FlashImageFileName(type), image.data.data(), image.data.size()) && ok;
    if (!image.header.empty())
      ok = WriteBytes(folder + "/" + FlashHeaderFileName(type), image.header.data(), image.header.size()) && ok;
  }
  return ok;
}

}  // namespace sim
