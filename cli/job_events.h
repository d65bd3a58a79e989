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
  // A change of the job's facts: the stage, identity, image set, steps, the
  // normal reset, the NV counts.
  void Facts(const vek::JobFacts& facts, vek::JobFactsChange change);
  // The job's record and its result, from the job's end as the facts hold it.
  void Result(const vek::JobFacts& facts);
  // Once shipping to the line's database is over: the record told again, with
  // what shipping came to, when the first telling could not say it yet.
  void Shipped(const vek::JobFacts& facts);

  const std::string& last_status() const { return last_status_; }

 private:
  void Module(const vek::JobModule& now);
  void Record(const vek::JobFacts& facts);

  std::unique_ptr<vekevents::EventStream> stream_;
  std::string last_status_;
  std::optional<int> percent_;
  vek::JobModule module_;  // as far as told
  bool shipping_told_ = false;
};

// The stage's name in the stream: "idle", "backup", "restore", "switch", "images".
const char* StageName(vek::Stage stage);

}  // namespace vekcli
