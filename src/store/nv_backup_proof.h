// A stored NV backup is named by its SHA-256, and that name is its proof: every
// reader of a stored backup (vek-report, the pages, the vault, shipping) hands its
// bytes on only when they still hash to it. A file changed inside the database
// (a bad sector, a hand edit) is refused with its reason and never restored.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vek {

// Empty when `bytes` hash to `sha256` (in either case of hexadecimal digits);
// otherwise why not, naming the backup and both hashes.
std::string NvBackupMismatch(const std::string& sha256, const std::vector<uint8_t>& bytes);

}  // namespace vek
