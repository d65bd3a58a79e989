// Small helpers for the job's texts: most steps show a text on the status line
// and then log the same text.
#pragma once

#include <string>

#include "link/hdlc_frame.h"
#include "records/job_facts.h"
#include "records/job_records.h"

namespace vek {

inline void ShowAndLog(UpgradeJob& job, const char* text) {
  job.show_status("%s", text);
  job.write_log("%s", text);
}

// A step's failure: shown, logged and noted in the job's facts. False, so that
// a step can end with `return Fail(job, "write failed");`.
inline bool Fail(UpgradeJob& job, const char* text) {
  ShowAndLog(job, text);
  FailStep(text);
  return false;
}

// The last reply's text from `offset` on: up to its first NUL, and never into the
// CRC bytes and closing flag behind it.
inline std::string ReplyText(int offset) {
  const int end = RxFrame.count - 2;
  std::string text;
  for (int i = offset; i >= 0 && i < end && RxFrame.data[i] != 0; ++i) text.push_back(static_cast<char>(RxFrame.data[i]));
  return text;
}

}  // namespace vek
