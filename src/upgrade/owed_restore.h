// The restore a module is owed: the note of the backup this job took, or of an
// earlier job's backup of the same module that was never written back.
#pragma once

#include <optional>

#include "nv/nv_pending_restore.h"
#include "records/job_records.h"

namespace vek {

struct OwedRestore {
  std::optional<PendingRestore> note;
  bool from_earlier_job = false;  // the note's backup is restored instead of this job's own
};

// Once this job's backup is whole and a restore is to follow: the note in force
// for the module (an earlier job's, or a new one of this backup).
OwedRestore NoteOwedRestore(UpgradeJob& job);

// Without a backup of this job: an earlier job's note for the module the AT
// port names now, if there is one.
OwedRestore FindOwedRestore();

// Whether the AT port has named the module (an IMEI or MEID): without a name no
// owed restore can be found, so a job must not take "none found" from it.
bool ModuleNamed();

// Before the restore: an earlier job's backup takes the place of "backup.nvb",
// and the operator is told why. False when it could not be put in place.
bool PrepareOwedRestore(UpgradeJob& job, const OwedRestore& owed);

// After a restore that succeeded: the note is no longer needed.
void SettleOwedRestore(const OwedRestore& owed);

}  // namespace vek
