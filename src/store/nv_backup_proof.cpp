#include "store/nv_backup_proof.h"

#include <algorithm>
#include <cctype>

#include "images/image_fingerprint.h"

namespace vek {

std::string NvBackupMismatch(const std::string& sha256, const std::vector<uint8_t>& bytes) {
  Sha256Hasher hasher;
  hasher.Update(bytes);
  const std::string found = HexOf(hasher.Finish());
  if (!hasher.ok()) return "NV backup " + sha256 + " cannot be checked against its SHA-256 (no memory): refused";
  std::string named = sha256;
  std::transform(named.begin(), named.end(), named.begin(), [](unsigned char c) { return std::tolower(c); });
  if (named == found) return {};
  return "NV backup " + sha256 + " does not match its SHA-256: its bytes hash to " + found +
         "; refused, never restored";
}

}  // namespace vek
