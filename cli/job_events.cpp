#include "cli/job_events.h"

#include <signal.h>

#include <cstring>

#include "events/event_schema.h"

namespace vekcli {

namespace field = vekevents::field;
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

JobEvents::JobEvents(std::unique_ptr<vekevents::EventStream> stream) : stream_(std::move(stream)) {}

void JobEvents::Start() {
  if (stream_) stream_->Write(vekevents::kStart, {{"program", "vek-cli"}, {"version", "5.1"}});
}

void JobEvents::Status(const std::string& text) {
  last_status_ = text;
  LookAround();
  if (stream_) stream_->Write(vekevents::kStatus, {{"text", text}});
}

void JobEvents::Progress(int percent) {
  LookAround();
  if (!stream_ || percent_ == percent) return;
  percent_ = percent;
  stream_->Write(vekevents::kProgress, {{"percent", percent}});
}

void JobEvents::Message(const std::string& caption, const std::string& text) {
  LookAround();
  if (stream_) stream_->Write(vekevents::kMessage, {{"caption", caption}, {"text", text}});
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
  stream_->Write(vekevents::kIdentity, {{key, value}});
}

void JobEvents::Product(const std::string& name) {
  if (!stream_ || name.empty() || name == product_) return;
  product_ = name;
  stream_->Write(vekevents::kIdentity, {{"product", name}});
}

void JobEvents::LookAround() {
  if (!stream_) return;
  const vek::Stage stage = Session::JobStage();
  if (stage_ != stage) {
    stage_ = stage;
    stream_->Write(vekevents::kStage, {{"stage", StageName(stage)}});
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
  if (!identity.empty()) stream_->Write(vekevents::kIdentity, identity);
  const std::string before = module_.sw_version;
  module_ = now;
  if (job_started_) module_.sw_version = before;

  if (const std::optional<std::string> sha256 = Session::ImageSetSha256(); sha256 && *sha256 != image_set_) {
    image_set_ = *sha256;
    stream_->Write(vekevents::kImageSet, {{"sha256", image_set_}});
  }
}

void JobEvents::Facts(const vek::JobFacts& facts, vek::JobFactsChange change) {
  if (!stream_) return;
  using Change = vek::JobFactsChange;
  switch (change) {
    case Change::kStep: {
      ordered_json fields = {{field::kStep, vek::JobStepName(facts.step)}};
      if (facts.step == vek::JobStep::kImage) fields["image"] = facts.image;
      stream_->Write(vekevents::kStep, fields);
      break;
    }
    case Change::kFailed: {
      if (!facts.failed_step) break;
      const char* step = vek::JobStepName(*facts.failed_step);
      ordered_json fields = {{field::kStep, step}, {field::kFailedStep, step}, {field::kReason, facts.reason}};
      if (*facts.failed_step == vek::JobStep::kImage) fields["image"] = facts.failed_image;
      stream_->Write(vekevents::kStep, fields);
      break;
    }
    case Change::kNormalReset: stream_->Write(vekevents::kNormalReset); break;
    case Change::kNvBackup:
      if (facts.nv_backup)
        stream_->Write(vekevents::kNvBackup, {{field::kRecords, facts.nv_backup->records},
                                              {field::kNvUnread, facts.nv_backup->unread.size()},
                                              {field::kUnreadItems, facts.nv_backup->unread}});
      break;
    case Change::kNvRestore:
      if (facts.nv_restore)
        stream_->Write(vekevents::kNvRestore,
                       {{field::kRecords, facts.nv_restore->records}, {field::kRefused, facts.nv_restore->refused}});
      break;
    case Change::kStarted: break;
  }
}

void JobEvents::Result(const char* outcome, const std::string& text, int exit_status, int signal) {
  LookAround();
  if (!stream_) return;
  ordered_json fields = {{"outcome", outcome}, {"text", text}, {"exit_status", exit_status}};
  if (signal == SIGINT) fields["signal"] = "SIGINT";
  if (signal == SIGTERM) fields["signal"] = "SIGTERM";
  stream_->Write(vekevents::kResult, fields);
}

}  // namespace vekcli
