#include "cli/job_events.h"

#include <signal.h>

#include <cstring>

#include "events/event_schema.h"

namespace vekcli {

namespace field = vekevents::field;
using nlohmann::ordered_json;
using vek::Session;

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
  if (!stream_) return;
  stream_->Write(vekevents::kStart, {{"program", "vek-cli"}, {"version", VEK_VERSION}});
  stream_->Write(vekevents::kStage, {{"stage", StageName(vek::STAGE_IDLE)}});
}

void JobEvents::Status(const std::string& text) {
  last_status_ = text;
  if (stream_) stream_->Write(vekevents::kStatus, {{"text", text}});
}

void JobEvents::Progress(int percent) {
  if (!stream_ || percent_ == percent) return;
  percent_ = percent;
  stream_->Write(vekevents::kProgress, {{"percent", percent}});
}

void JobEvents::Message(const std::string& caption, const std::string& text) {
  if (stream_) stream_->Write(vekevents::kMessage, {{"caption", caption}, {"text", text}});
}

// What became known of the module since the last identity event, in one event;
// an identity once told is not taken back when the search starts over.
void JobEvents::Module(const vek::JobModule& now) {
  ordered_json identity = ordered_json::object();
  auto told = [&](std::string vek::JobModule::*field, const char* key) {
    if ((now.*field).empty() || now.*field == module_.*field) return;
    identity[key] = now.*field;
    module_.*field = now.*field;
  };
  told(&vek::JobModule::port, "port");
  told(&vek::JobModule::usb_path, "usb_path");
  told(&vek::JobModule::version_before, "software_version");
  told(&vek::JobModule::version_after, "software_version_after");
  if (!identity.empty()) stream_->Write(vekevents::kIdentity, identity);
  // The IMEI or MEID and the product each in an event of their own, as always.
  for (auto [field, key] : {std::pair{&vek::JobModule::imei, "imei"}, std::pair{&vek::JobModule::meid, "meid"},
                            std::pair{&vek::JobModule::product, "product"}}) {
    if ((now.*field).empty() || now.*field == module_.*field) continue;
    module_.*field = now.*field;
    stream_->Write(vekevents::kIdentity, {{key, now.*field}});
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
      if (facts.nv_backup) {
        ordered_json fields = {{field::kRecords, facts.nv_backup->records},
                               {field::kNvUnread, facts.nv_backup->unread.size()},
                               {field::kUnreadItems, facts.nv_backup->unread}};
        if (facts.nv_backup->window > 0) fields[field::kNvWindow] = facts.nv_backup->window;
        stream_->Write(vekevents::kNvBackup, fields);
      }
      break;
    case Change::kNvRestore:
      if (facts.nv_restore) {
        ordered_json fields = {{field::kRecords, facts.nv_restore->records}, {field::kRefused, facts.nv_restore->refused}};
        if (facts.nv_restore->window > 0) fields[field::kNvWindow] = facts.nv_restore->window;
        stream_->Write(vekevents::kNvRestore, fields);
      }
      break;
    case Change::kModule: Module(facts.module); break;
    case Change::kImageSet:
      if (facts.image_set) stream_->Write(vekevents::kImageSet, {{"sha256", facts.image_set->sha256}});
      break;
    case Change::kStage: stream_->Write(vekevents::kStage, {{"stage", StageName(facts.stage)}}); break;
    case Change::kRecord:  // told with the result, as the job's last word on it
    case Change::kStarted:
    case Change::kEnded: break;
  }
}

void JobEvents::Record(const vek::JobFacts& facts) {
  ordered_json record = {{field::kWritten, *facts.record.written}, {field::kId, facts.record.id}};
  if (!*facts.record.written) record[field::kReason] = facts.record.reason;
  if (facts.record.shipped) record[field::kShipped] = *facts.record.shipped;
  shipping_told_ = facts.record.shipped.has_value();
  stream_->Write(vekevents::kRecord, record);
}

void JobEvents::Shipped(const vek::JobFacts& facts) {
  if (stream_ && facts.record.written && facts.record.shipped && !shipping_told_) Record(facts);
}

void JobEvents::Result(const vek::JobFacts& facts) {
  if (!stream_) return;
  if (facts.record.written) Record(facts);
  const vek::JobEnd& end = facts.end;
  ordered_json fields = {{"outcome", vek::JobResultName(end.result)}, {"text", end.text}, {"exit_status", end.exit_status}};
  if (end.signal == SIGINT) fields["signal"] = "SIGINT";
  if (end.signal == SIGTERM) fields["signal"] = "SIGTERM";
  if (facts.attention != vek::JobAttention::kNone) fields[field::kAttention] = vek::JobAttentionName(facts.attention);
  stream_->Write(vekevents::kResult, fields);
}

}  // namespace vekcli
