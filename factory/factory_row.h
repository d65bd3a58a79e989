// What vek-factory knows of one job: one row of its table and, once the job
// has ended, one line of its report. Filled from the job's vek-cli event stream.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace vekfactory {

using Clock = std::chrono::steady_clock;

struct ModuleRow {
  std::string usb_path;
  std::string folder;  // the job's working folder
  std::string port, imei, meid, product, version_before, version_after;
  std::string image_set_sha256;
  std::string status;   // the last status text (or message box)
  std::string failed_step, failed_reason;  // the step that failed and why, as the job's step event said
  std::string stage;
  std::string step, image;  // the step the job is in ("backup", "image" with the image's file name)
  int percent = -1;     // -1: no progress yet
  int nv_records = -1;  // -1: no restore
  int nv_refused = -1;
  int nv_unread = -1;   // -1: no backup; else the NV items the backup left out
  bool normal_reset_sent = false;  // the module was told to restart at the end
  std::string record_id;           // the job's row in the station database
  std::optional<bool> record_written;
  std::string record_reason;       // why it was not written
  std::optional<bool> shipped;     // to the line database; nothing when there is none
  // The end: the result event's outcome ("succeeded", "failed", "aborted",
  // "no_job") and text, and the process's exit status.
  std::string outcome;
  std::string result_text;
  std::string attention;  // the result event's: what the operator must look at ("" none)
  std::optional<int> exit_status;
  Clock::time_point started{};
  Clock::time_point ended{};
  std::chrono::system_clock::time_point ended_utc{};

  bool finished() const { return exit_status.has_value(); }
  // How the job ended in words: the result text, and for a failure the reason
  // the failed step gave when the result only says that the job failed ("download failed! (write failed)").
  std::string EndText() const;
  bool succeeded() const { return exit_status == 0; }
  // The result in one word, as the report and the journal give it: "succeeded",
  // "failed", "aborted" or "no_job".
  std::string Result() const;
  double seconds(Clock::time_point now) const;
};

// One event of vek-cli's stream applied to the row. Events and fields it does
// not know are ignored, as vek-cli's interface asks of a reader.
void ApplyEvent(ModuleRow& row, const nlohmann::json& event);

// The row's report line: one JSON object, without the line end.
std::string ReportLine(const ModuleRow& row);

}  // namespace vekfactory
