// The exit statuses of every VEK program: one table, because scripts, vek-factory
// and the records tell a job's end by them (vek-cli(1), vek-factory(1), vek-report(1)).
#pragma once

#include "records/job_result.h"

namespace vekevents {

// vek-cli, vek-probe, and vek-factory's own (the sum of its jobs).
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

// What vek-factory records for a job whose vek-cli did not end by itself: as a
// shell says it of a command it could not run, and of one a signal ended.
inline constexpr int kExitNotStarted = 127;  // vek-cli could not be started in the job's folder
inline constexpr int kExitBySignal = 128;    // plus the signal's number
constexpr int ExitStatusOfSignal(int signal) { return kExitBySignal + signal; }

// vek-report.
enum ReportExitStatus : int {
  kReportDone = 0,
  kReportFailed = 1,  // the database cannot be read, nothing is kept for the module, the file cannot be written
  kReportUsage = 2,   // bad arguments
};

// vek, the desktop program.
enum DesktopExitStatus : int {
  kDesktopDone = 0,   // the window was closed (or help, the version, another VEK running told)
  kDesktopUsage = 2,  // bad arguments
};

}  // namespace vekevents
