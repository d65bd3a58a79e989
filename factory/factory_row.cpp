#include "factory/factory_row.h"

#include <cmath>
#include <ctime>

#include "events/event_reader.h"
#include "events/event_schema.h"

namespace vekfactory {
namespace {

using vekevents::NumberOf;
using vekevents::TextOf;
namespace field = vekevents::field;

// Only the fields the event carries replace what was known.
void Merge(std::string& known, const nlohmann::json& event, const char* field) {
  if (event.contains(field)) known = TextOf(event, field);
}

std::string Utc(std::chrono::system_clock::time_point when) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

}  // namespace

double ModuleRow::seconds(Clock::time_point now) const {
  return std::chrono::duration<double>((finished() ? ended : now) - started).count();
}

std::string ModuleRow::EndText() const {
  std::string text = result_text.empty() ? status : result_text;
  if (finished() && !succeeded() && !failed_reason.empty() && text.find(failed_reason) == std::string::npos)
    text += " (" + failed_reason + ")";
  return text;
}

std::string ModuleRow::Result() const {
  if (!outcome.empty()) return outcome;
  return succeeded() ? vekevents::kSucceeded : vekevents::kFailed;
}

void ApplyEvent(ModuleRow& row, const nlohmann::json& event) {
  const std::string type = vekevents::TypeOf(event);
  if (type == vekevents::kStatus) {
    row.status = TextOf(event, field::kText);
  } else if (type == vekevents::kProgress) {
    row.percent = NumberOf(event, field::kPercent, row.percent);
  } else if (type == vekevents::kStage) {
    row.stage = TextOf(event, field::kStage);
  } else if (type == vekevents::kStep) {
    const std::string step = TextOf(event, field::kStep), image = TextOf(event, field::kImage);
    if (step != row.step || image != row.image) row.percent = -1;  // each step's progress is its own
    row.step = step;
    row.image = image;
    if (event.contains(field::kFailedStep)) {
      row.failed_step = TextOf(event, field::kFailedStep);
      row.failed_reason = TextOf(event, field::kReason);
    }
  } else if (type == vekevents::kNormalReset) {
    row.normal_reset_sent = true;
  } else if (type == vekevents::kIdentity) {
    Merge(row.port, event, field::kPort);
    Merge(row.imei, event, field::kImei);
    Merge(row.meid, event, field::kMeid);
    Merge(row.product, event, field::kProduct);
    Merge(row.version_before, event, field::kSoftwareVersion);
    Merge(row.version_after, event, field::kSoftwareVersionAfter);
  } else if (type == vekevents::kImageSet) {
    row.image_set_sha256 = TextOf(event, field::kSha256);
  } else if (type == vekevents::kNvRestore) {
    row.nv_records = NumberOf(event, field::kRecords, row.nv_records);
    row.nv_refused = NumberOf(event, field::kRefused, row.nv_refused);
  } else if (type == vekevents::kNvBackup) {
    row.nv_unread = NumberOf(event, field::kNvUnread, row.nv_unread);
  } else if (type == vekevents::kMessage) {
    row.status = TextOf(event, field::kCaption) + ": " + TextOf(event, field::kText);
  } else if (type == vekevents::kRecord) {
    row.record_id = TextOf(event, field::kId);
    if (event.contains(field::kWritten) && event[field::kWritten].is_boolean())
      row.record_written = event[field::kWritten].get<bool>();
    row.record_reason = TextOf(event, field::kReason);
    if (event.contains(field::kShipped) && event[field::kShipped].is_boolean())
      row.shipped = event[field::kShipped].get<bool>();
  } else if (type == vekevents::kResult) {
    row.outcome = TextOf(event, field::kOutcome);
    row.result_text = TextOf(event, field::kText);
    row.attention = TextOf(event, field::kAttention);
  }
}

std::string ReportLine(const ModuleRow& row) {
  nlohmann::ordered_json line;
  line["time"] = Utc(row.ended_utc);
  line["usb_path"] = row.usb_path;
  line["port"] = row.port;
  if (!row.meid.empty()) line["meid"] = row.meid;
  else line["imei"] = row.imei;
  line["product"] = row.product;
  line["version_before"] = row.version_before;
  line["version_after"] = row.version_after;
  line["image_set_sha256"] = row.image_set_sha256;
  if (row.nv_refused >= 0) line["nv_records_refused"] = row.nv_refused;
  else line["nv_records_refused"] = nullptr;
  if (row.nv_unread >= 0) line["nv_unread"] = row.nv_unread;
  else line["nv_unread"] = nullptr;
  line["result"] = row.Result();
  line["text"] = row.EndText();
  line["exit_status"] = row.exit_status.value_or(-1);
  line["duration"] = std::round(row.seconds(row.ended) * 1000.0) / 1000.0;
  line["folder"] = row.folder;
  if (row.record_written == true) line["record_id"] = row.record_id;
  else line["record_id"] = nullptr;
  if (row.record_written == false) line["record_not_written"] = row.record_reason;
  if (!row.attention.empty()) line["attention"] = row.attention;
  // Text from the module may be any bytes: never let it break the line.
  return line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace vekfactory
