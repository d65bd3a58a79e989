// The NV backups a module left at any station: the newest one kept in this
// station's database or in the line's.
#pragma once

#include <optional>
#include <string>

#include "upgrade/vault_search.h"

namespace vek {

class NvVault : public VaultSearch {
 public:
  // `station_db`: the station's database file; `line_db`: the line's connection
  // string (either may be empty: not asked).
  NvVault(std::string station_db, std::string line_db)
      : station_db_(std::move(station_db)), line_db_(std::move(line_db)) {}

  std::optional<VaultBackup> Newest(const std::string& module, std::string& trouble) const override;

 private:
  const std::string station_db_, line_db_;
};

}  // namespace vek
