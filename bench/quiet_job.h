// The process's job with nothing shown or logged: the NV benchmarks time the
// exchanges, not a screen or a log file.
#pragma once

#include <cstdint>

#include "records/job_records.h"

namespace bench {

inline int Quiet(const char*, ...) { return 0; }
inline int QuietMessage(int, const char*, const char*) { return 0; }
inline int QuietProgress(uint32_t, int32_t) { return 0; }

inline vek::UpgradeJob& QuietJob() {
  vek::UpgradeJob& job = vek::TheJob();
  job.show_status = Quiet;
  job.write_log = Quiet;
  job.show_message = QuietMessage;
  job.show_progress = QuietProgress;
  return job;
}

}  // namespace bench
