// vek-cli's event stream: one JSON object a line, "type" and "t" (seconds since
// vek-cli started) first, then the event's fields. The names below are the
// stream's outside interface (vek-cli(1)): fields may be added, none changes.
#pragma once

#include "records/job_result.h"

namespace vekevents {

// Event types.
inline constexpr const char* kStart = "start";              // program, version
inline constexpr const char* kStatus = "status";            // text
inline constexpr const char* kProgress = "progress";        // percent
inline constexpr const char* kMessage = "message";          // caption, text
inline constexpr const char* kStage = "stage";              // stage
inline constexpr const char* kIdentity = "identity";        // port, usb_path, imei | meid, product, software_version(_after)
inline constexpr const char* kImageSet = "image_set";       // sha256
inline constexpr const char* kNvBackup = "nv_backup";       // records, nv_unread, unread_items; nv_window
inline constexpr const char* kNvRestore = "nv_restore";     // records, refused; nv_window
inline constexpr const char* kStep = "step";                // step; failed_step and reason on a failure
inline constexpr const char* kNormalReset = "normal_reset"; // the module was told to restart into its firmware
inline constexpr const char* kRecord = "record";            // written, id; reason when not written;
                                                            // shipped, with a line database
inline constexpr const char* kResult = "result";            // outcome, text, exit_status, signal, attention

// Fields.
namespace field {
inline constexpr const char* kType = "type";
inline constexpr const char* kTime = "t";
inline constexpr const char* kProgram = "program";
inline constexpr const char* kVersion = "version";
inline constexpr const char* kText = "text";
inline constexpr const char* kPercent = "percent";
inline constexpr const char* kCaption = "caption";
inline constexpr const char* kStage = "stage";
inline constexpr const char* kPort = "port";
inline constexpr const char* kUsbPath = "usb_path";
inline constexpr const char* kImei = "imei";
inline constexpr const char* kMeid = "meid";
inline constexpr const char* kProduct = "product";
inline constexpr const char* kSoftwareVersion = "software_version";
inline constexpr const char* kSoftwareVersionAfter = "software_version_after";
inline constexpr const char* kSha256 = "sha256";
inline constexpr const char* kRecords = "records";
inline constexpr const char* kRefused = "refused";
inline constexpr const char* kNvUnread = "nv_unread";
inline constexpr const char* kUnreadItems = "unread_items";
// With --nv-window other than 1: the NV requests in flight at the step's end (where auto settled).
inline constexpr const char* kNvWindow = "nv_window";
inline constexpr const char* kStep = "step";
inline constexpr const char* kFailedStep = "failed_step";
inline constexpr const char* kReason = "reason";
inline constexpr const char* kOutcome = "outcome";
inline constexpr const char* kExitStatus = "exit_status";
inline constexpr const char* kSignal = "signal";
inline constexpr const char* kWritten = "written";
inline constexpr const char* kId = "id";
inline constexpr const char* kImage = "image";
inline constexpr const char* kShipped = "shipped";
// On the result of a job the operator must look at: what to look at ("version_unconfirmed").
inline constexpr const char* kAttention = "attention";
}  // namespace field

// The result's outcomes: the words of the job's records, which the station's
// and the line's databases keep too.
inline constexpr const char* kSucceeded = vek::result_word::kSucceeded;
inline constexpr const char* kFailed = vek::result_word::kFailed;
inline constexpr const char* kAborted = vek::result_word::kAborted;
inline constexpr const char* kNoJob = vek::result_word::kNoJob;
// Not an outcome: the state of a job that has not ended (vek-factory's tray page).
inline constexpr const char* kRunning = vek::result_word::kRunning;

}  // namespace vekevents
