// The flash download sequence: from whatever program the module runs to freshly
// written flash and a reset.
#pragma once

#include "app/sleep_inhibitor.h"
#include "records/job_records.h"

namespace vek {

// Returns 1 when the module acknowledged the final streaming reset, 0 on any failure.
// Takes `sleep_lock` as the module leaves its firmware (or is found outside it) and
// leaves it held: the caller gives it back once the module runs its firmware again.
int DownloadFlash(UpgradeJob& job, SleepInhibitor& sleep_lock);

// The same with a lock of its own, given back when it returns.
int DownloadFlash(UpgradeJob& job);

}  // namespace vek
