// The flash download sequence: from whatever program the module runs to freshly
// written flash and a reset.
#pragma once

#include "upgrade/job_records.h"

namespace vek {

// Returns 1 when the module acknowledged the final streaming reset, 0 on any failure.
int DownloadFlash(UpgradeJob& job);

}  // namespace vek
