// The one-shot mode probe the device-connect task makes on the diagnostic port
// number before it opens that port for good.
#pragma once

#include <cstdint>

#include "records/job_records.h"

namespace vek {

// Sends the probe frame as one AT-channel exchange on `port` and stores the
// answering program in job.target_state. True unless the answer is unrecognised
// or missing (then TARGET_UNSPECIFIED).
bool ProbePortMode(uint32_t port, UpgradeJob& job);

}  // namespace vek
