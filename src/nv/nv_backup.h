// Saving the module's NV items into "backup.nvb" before a firmware download,
// and writing them back afterwards.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "records/job_records.h"

namespace vek {

inline constexpr int kNvCannotOpen = 0;   // "backup.nvb" could not be created, opened or completed
inline constexpr int kNvEndedEarly = 1;   // a time-out (or a stop) ended the operation
inline constexpr int kNvCompleted = 2;    // the operation ran to its end
inline constexpr int kNvNothingWritten = 3;  // a restore wrote no record back (all refused, or none in the file)

// Reads every item the item table marks and saves the successful replies.
// A backup that does not reach its end keeps the previous file untouched; a
// complete one keeps the previous file in nv-history/ before taking its name.
int BackupNv(UpgradeJob& job);

// Writes every whole record of "backup.nvb" back, then names a copy of the
// file after the module's IMEI (or MEID, by the platform's profile), keeping an
// earlier copy of that name in nv-history/. A restore that wrote no record at
// all failed (kNvNothingWritten): it says how many were refused, and the caller
// reports the failure.
int RestoreNv(UpgradeJob& job);

// Makes a copy of backup file `source` the "backup.nvb" the next restore
// writes back; the file it replaces is kept in nv-history/. False (and
// "backup.nvb" as it was) when the copy could not be made whole.
bool PutBackupInPlace(UpgradeJob& job, const std::string& source);
// The same for a backup's bytes kept elsewhere (a database).
bool PutBackupBytesInPlace(UpgradeJob& job, const std::vector<uint8_t>& bytes);

// Each whole backup and each restore that ran through its file note their
// counts in the job's facts (records/job_facts.h).

}  // namespace vek
