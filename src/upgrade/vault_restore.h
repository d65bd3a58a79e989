// A module found in a download mode brings no backup of its own: with
// --restore-from-vault (or "[restore] vault=1"), once its firmware names it,
// its newest NV backup kept at this station or any station of the line
// becomes "backup.nvb" for the normal restore.
#pragma once

#include "records/job_records.h"
#include "upgrade/vault_search.h"

namespace vek {

enum class VaultBackupPlaced {
  kNone,    // none kept: the job is an images-only one, as without the option
  kPlaced,  // "backup.nvb" is the kept backup: the normal restore follows
  kFailed,  // one is kept but cannot be used (damaged, not placed): the job fails
};
// `vault`: where kept backups are searched (none: nothing is kept).
VaultBackupPlaced PlaceVaultBackup(UpgradeJob& job, const VaultSearch* vault);

}  // namespace vek
