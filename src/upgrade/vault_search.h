// Where a job finds a module's kept NV backup when the module reaches it without
// its own (carried over in its boot loader after a failed job). The job floor
// names no database: the Session hands down a search over the station's and the
// line's records, and the job asks it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vek {

struct VaultBackup {
  std::string station, taken_utc, sha256;
  std::vector<uint8_t> bytes;  // checked against `sha256` before it is used
};

class VaultSearch {
 public:
  virtual ~VaultSearch() = default;
  // The newest whole backup of `module` (its IMEI or MEID); nothing when none is
  // kept. `trouble` names a place that could not be asked (the others' answers
  // still count). May take as long as the places' own limits allow.
  virtual std::optional<VaultBackup> Newest(const std::string& module, std::string& trouble) const = 0;
};

}  // namespace vek
