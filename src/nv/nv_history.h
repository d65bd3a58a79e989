// Earlier NV backups, kept in "nv-history/" beside the backup before a new file
// takes their name: "<name>-<UTC yyyymmddThhmmssZ>.nvb", e.g.
// nv-history/backup-20261208T073200Z.nvb. A module's NV items cannot be read
// again once a download has reset them, so a backup is never simply overwritten.
//
// Order on the disk: the new file is complete and synced under its partial name;
// the earlier file gets a second name in nv-history/ (a hard link; a move where
// the file system has none); that folder is synced; only then does the new file
// take the name. A crash at any point leaves the earlier items under one of the
// names. At most kNvHistoryKept copies of each name are kept, the oldest go first.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>
#include <vector>

namespace vek {

inline constexpr const char* kNvHistoryFolder = "nv-history";
inline constexpr size_t kNvHistoryKept = 10;

struct NvHistoryResult {
  bool placed = false;               // the new file took the name
  std::string kept_as;               // where the earlier file went ("nv-history/..."); empty: nothing to keep
  std::vector<std::string> dropped;  // the oldest kept copies removed to keep kNvHistoryKept ("nv-history/...")
  std::string error;                 // why the new file was not placed (the earlier one is as it was)
};

// Renames `partial_path` over `final_path` (in the same folder, a name of
// letters, digits and '_' ending in ".nvb"), keeping the file it replaces in
// nv-history/ first, stamped with `now`. An earlier file with the same bytes as
// the new one needs no keeping. An existing kept copy is never replaced: a second
// one in the same second is named "<name>-<time>-2.nvb", and so on. When the
// earlier file cannot be kept, the new one is not placed and `partial_path` is
// left for the caller to remove.
NvHistoryResult ReplaceKeepingEarlier(const std::string& partial_path, const std::string& final_path,
                                      std::time_t now);

// The kept copies of `file_name` ("backup.nvb") in `folder`/nv-history, oldest first.
std::vector<std::string> KeptCopies(const std::string& folder, const std::string& file_name);

}  // namespace vek
