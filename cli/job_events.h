// What vek-cli's event stream says, event by event: the window's notifications
// and the engine's facts turned into events, each fact once when it becomes
// known or changes, the percent only when it moves.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "events/event_stream.h"
#include "device/session.h"

namespace vekcli {

class JobEvents {
 public:
  // Without a stream every call does nothing.
  explicit JobEvents(std::unique_ptr<vekevents::EventStream> stream);

  bool on() const { return stream_ != nullptr; }
  bool on_standard_output() const { return stream_ && stream_->on_standard_output(); }

  void Start();
  void Status(const std::string& text);
  void Progress(int percent);
  void Message(const std::string& caption, const std::string& text);
  // "IMEI:<digits>" or "MEID:<hex>" as the window's label shows it.
  void ImeiLabel(const std::string& label);
  void Product(const std::string& name);
  // "start" was pressed: the module's version known now is the one before the job.
  void JobStarted() { job_started_ = true; }
  // The stage, identity and image set: an event for each that changed.
  void LookAround();
  // A change of the job's facts: the step events, the normal reset, the NV counts.
  void Facts(const vek::JobFacts& facts, vek::JobFactsChange change);
  // The last event. `signal`: the signal that stopped the job, or 0.
  void Result(const char* outcome, const std::string& text, int exit_status, int signal);

  const std::string& last_status() const { return last_status_; }

 private:
  std::unique_ptr<vekevents::EventStream> stream_;
  std::string last_status_;
  std::optional<int> percent_;
  std::optional<vek::Stage> stage_;
  vek::ModuleFacts module_;  // as far as told
  std::string imei_key_, imei_, product_;
  std::string image_set_;

  bool job_started_ = false;
};

// The stage's name in the stream: "idle", "backup", "restore", "switch", "images".
const char* StageName(vek::Stage stage);

}  // namespace vekcli
