#include "cli/job_events.h"

#include <signal.h>

#include <cstring>

namespace vekcli {

using nlohmann::ordered_json;
using vek::Session;

namespace {

// The module's texts as it replied them, without the blanks around them (" 3569...").
std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

}  // namespace

const char* StageName(vek::Stage stage) {
  switch (stage) {
    case vek::STAGE_IDLE: return "idle";
    case vek::STAGE_BACKUP: return "backup";
    case vek::STAGE_RESTORE: return "restore";
    case vek::STAGE_SWITCH: return "switch";
    case vek::STAGE_IMAGES: return "images";
  }
  return "unknown";
}

JobEvents::JobEvents(std::unique_ptr<EventStream> stream) : stream_(std::move(stream)) {}

void JobEvents::Start() {
  if (stream_) stream_->Write("start", {{"program", "vek-cli"}, {"version", "5.1"}});
}

void JobEvents::Status(const std::string& text) {
  last_status_ = text;
  LookAround();
  if (stream_) stream_->Write("status", {{"text", text}});
}

void JobEvents::Progress(int percent) {
  LookAround();
  if (!stream_ || percent_ == percent) return;
  percent_ = percent;
  stream_->Write("progress", {{"percent", percent}});
}

void JobEvents::Message(const std::string& caption, const std::string& text) {
  LookAround();
  if (stream_) stream_->Write("message", {{"caption", caption}, {"text", text}});
}

void JobEvents::ImeiLabel(const std::string& label) {
  const size_t colon = label.find(':');
  if (!stream_ || colon == std::string::npos || colon + 1 == label.size()) return;
  const std::string key = label.rfind("MEID:", 0) == 0 ? "meid" : "imei";
  const std::string value = Trimmed(label.substr(colon + 1));
  if (value.empty()) return;
  if (key == imei_key_ && value == imei_) return;
  imei_key_ = key;
  imei_ = value;
  stream_->Write("identity", {{key, value}});
}

void JobEvents::Product(const std::string& name) {
  if (!stream_ || name.empty() || name == product_) return;
  product_ = name;
  stream_->Write("identity", {{"product", name}});
}

void JobEvents::LookAround() {
  if (!stream_) return;
  const vek::Stage stage = Session::JobStage();
  if (stage_ != stage) {
    stage_ = stage;
    stream_->Write("stage", {{"stage", StageName(stage)}});
  }
  vek::ModuleFacts now = Session::KnownModule();
  now.sw_version = Trimmed(now.sw_version);
  now.new_sw_version = Trimmed(now.new_sw_version);
  ordered_json identity = ordered_json::object();
  if (now.diag_port != 0 && now.diag_port != module_.diag_port) identity["port"] = "COM" + std::to_string(now.diag_port);
  if (!now.usb_path.empty() && now.usb_path != module_.usb_path) identity["usb_path"] = now.usb_path;
  // Once the job runs, the version reported before it stays the one before: the
  // record takes the new version when the job reports it.
  if (!job_started_ && !now.sw_version.empty() && now.sw_version != module_.sw_version)
    identity["software_version"] = now.sw_version;
  if (!now.new_sw_version.empty() && now.new_sw_version != module_.new_sw_version)
    identity["software_version_after"] = now.new_sw_version;
  if (!identity.empty()) stream_->Write("identity", identity);
  const std::string before = module_.sw_version;
  module_ = now;
  if (job_started_) module_.sw_version = before;

  if (const std::optional<std::string> sha256 = Session::ImageSetSha256(); sha256 && *sha256 != image_set_) {
    image_set_ = *sha256;
    stream_->Write("image_set", {{"sha256", image_set_}});
  }
  const std::optional<vek::NvRestoreFacts> counts = Session::NvRestoreCounts();
  if (counts && (!nv_restore_ || nv_restore_->records != counts->records || nv_restore_->refused != counts->refused)) {
    nv_restore_ = counts;
    stream_->Write("nv_restore", {{"records", counts->records}, {"refused", counts->refused}});
  }
  TellBackup();
}

void JobEvents::TellBackup() {
  if (nv_backup_told_) return;
  const std::optional<vek::NvBackupFacts> backup = Session::NvBackupCounts();
  if (!backup) return;
  nv_backup_told_ = true;
  stream_->Write("nv_backup", {{"records", backup->records},
                               {"nv_unread", backup->unread.size()},
                               {"unread_items", backup->unread}});
}

void JobEvents::Result(const char* outcome, const std::string& text, int exit_status, int signal) {
  LookAround();
  if (!stream_) return;
  ordered_json fields = {{"outcome", outcome}, {"text", text}, {"exit_status", exit_status}};
  if (signal == SIGINT) fields["signal"] = "SIGINT";
  if (signal == SIGTERM) fields["signal"] = "SIGTERM";
  stream_->Write("result", fields);
}

}  // namespace vekcli
