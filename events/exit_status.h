// The exit statuses of vek-cli, vek-factory and vek-probe: one table, because
// scripts and vek-factory tell a job's end by them (vek-cli(1), vek-factory(1)).
#pragma once

#include "records/job_result.h"

namespace vekevents {

enum ExitStatus : int {
  kExitSucceeded = 0,  // the job (every job, the probe) succeeded
  kExitFailed = 1,     // a job ran and failed or was aborted; the probe found no answer
  kExitUsage = 2,      // a usage error
  kExitNoJob = 3,      // no job ran (no module, no image folder, another instance ...)
};

// vek-cli's exit status for how its job ended. A job that never told its end
// (still "running") failed.
constexpr ExitStatus ExitStatusOf(vek::JobResult result) {
  switch (result) {
    case vek::JobResult::kSucceeded: return kExitSucceeded;
    case vek::JobResult::kNoJob: return kExitNoJob;
    case vek::JobResult::kFailed:
    case vek::JobResult::kAborted:
    case vek::JobResult::kRunning: return kExitFailed;
  }
  return kExitFailed;
}

}  // namespace vekevents
