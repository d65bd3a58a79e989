// The NV backups a module left at any station: the newest one kept in this
// station's database or in the line's, for a module that reaches a station
// without its own (carried over in its boot loader after a failed job).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vek {

// Where a job looks: the station's database file and the line's connection
// string (either may be empty). Set by the front end before a job starts.
struct NvVaultPlaces {
  std::string station_db, line_db;
};
void SetNvVaultPlaces(NvVaultPlaces places);
NvVaultPlaces TheNvVaultPlaces();

struct VaultBackup {
  std::string station, taken_utc, sha256;
  std::vector<uint8_t> bytes;  // checked against `sha256`
};

// The newest whole backup of `module` (its IMEI or MEID) in either database;
// nothing when neither holds one. `trouble` names a database that could not
// be asked (the other's answer still counts).
std::optional<VaultBackup> FindVaultBackup(const std::string& module, std::string& trouble);

}  // namespace vek
