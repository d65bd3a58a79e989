#include "cli/factory_row.h"

#include <cmath>
#include <ctime>

namespace vekfactory {
namespace {

std::string TextOf(const nlohmann::json& event, const char* field) {
  const auto found = event.find(field);
  return found != event.end() && found->is_string() ? found->get<std::string>() : std::string();
}

int NumberOf(const nlohmann::json& event, const char* field, int otherwise) {
  const auto found = event.find(field);
  return found != event.end() && found->is_number_integer() ? found->get<int>() : otherwise;
}

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
  if (finished() && !succeeded() && !previous_status.empty() && previous_status != text &&
      text.find(previous_status) == std::string::npos)
    text += " (" + previous_status + ")";
  return text;
}

void ApplyEvent(ModuleRow& row, const nlohmann::json& event) {
  if (!event.is_object()) return;
  const std::string type = TextOf(event, "type");
  if (type == "status") {
    const std::string text = TextOf(event, "text");
    if (text != row.status) row.previous_status = row.status;
    row.status = text;
    if (row.status == "normal reset...") row.normal_reset_sent = true;
  } else if (type == "progress") {
    row.percent = NumberOf(event, "percent", row.percent);
  } else if (type == "stage") {
    row.stage = TextOf(event, "stage");
  } else if (type == "identity") {
    Merge(row.port, event, "port");
    Merge(row.imei, event, "imei");
    Merge(row.meid, event, "meid");
    Merge(row.product, event, "product");
    Merge(row.version_before, event, "software_version");
    Merge(row.version_after, event, "software_version_after");
  } else if (type == "image_set") {
    row.image_set_sha256 = TextOf(event, "sha256");
  } else if (type == "nv_restore") {
    row.nv_records = NumberOf(event, "records", row.nv_records);
    row.nv_refused = NumberOf(event, "refused", row.nv_refused);
  } else if (type == "nv_backup") {
    row.nv_unread = NumberOf(event, "nv_unread", row.nv_unread);
  } else if (type == "message") {
    row.status = TextOf(event, "caption") + ": " + TextOf(event, "text");
  } else if (type == "result") {
    row.outcome = TextOf(event, "outcome");
    row.result_text = TextOf(event, "text");
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
  line["result"] = row.outcome.empty() ? (row.succeeded() ? "succeeded" : "failed") : row.outcome;
  line["text"] = row.EndText();
  line["exit_status"] = row.exit_status.value_or(-1);
  line["duration"] = std::round(row.seconds(row.ended) * 1000.0) / 1000.0;
  line["folder"] = row.folder;
  // Text from the module may be any bytes: never let it break the line.
  return line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace vekfactory
