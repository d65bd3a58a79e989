// How a job ended, and the one set of words for it. The event stream, the
// station's and the line's records, vek-report and vek-factory all write and
// read these words; events/event_schema.h names them for the stream.
#pragma once

namespace vek {

// How the job ended, as the front end reported it to the operator.
enum class JobResult { kRunning, kSucceeded, kFailed, kAborted, kNoJob };

namespace result_word {
inline constexpr const char* kRunning = "running";
inline constexpr const char* kSucceeded = "succeeded";
inline constexpr const char* kFailed = "failed";
inline constexpr const char* kAborted = "aborted";
inline constexpr const char* kNoJob = "no_job";
// No job ends so: vek-report reads a row left "running" by a process that is gone so.
inline constexpr const char* kInterrupted = "interrupted";
}  // namespace result_word

// "running", "succeeded", "failed", "aborted", "no_job"
constexpr const char* JobResultName(JobResult result) {
  switch (result) {
    case JobResult::kRunning: return result_word::kRunning;
    case JobResult::kSucceeded: return result_word::kSucceeded;
    case JobResult::kFailed: return result_word::kFailed;
    case JobResult::kAborted: return result_word::kAborted;
    case JobResult::kNoJob: return result_word::kNoJob;
  }
  return result_word::kFailed;
}

}  // namespace vek
