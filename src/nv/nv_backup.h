// Saving the module's NV items into "backup.nvb" before a firmware download,
// and writing them back afterwards.
#pragma once

#include "upgrade/job_records.h"

namespace vek {

inline constexpr int kNvCannotOpen = 0;   // "backup.nvb" could not be created, opened or completed
inline constexpr int kNvEndedEarly = 1;   // a time-out (or a stop) ended the operation
inline constexpr int kNvCompleted = 2;    // the operation ran to its end

// Reads every item the item table marks and saves the successful replies.
// A time-out removes "backup.nvb"; a stop keeps the previous one untouched.
int BackupNv(UpgradeJob& job);

// Writes every whole record of "backup.nvb" back, then names a copy of the
// file after the module's IMEI (or MEID, by the platform's profile).
int RestoreNv(UpgradeJob& job);

}  // namespace vek
