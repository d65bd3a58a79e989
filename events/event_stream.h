// vek-cli's event stream (--events): one JSON object a line, each written whole
// and at once, so that a program reading the other end sees every fact as it
// happens. The objects are vek-cli's outside interface (vek-cli(1)).
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

namespace vekevents {

class EventStream {
 public:
  using Clock = std::chrono::steady_clock;

  // Opens where --events names: "-" standard output, "fd:N" an inherited
  // descriptor open for writing, anything else a file, created or emptied.
  // Nothing, and the reason in plain words in `error`, when it cannot be written.
  static std::unique_ptr<EventStream> Open(const std::string& where, Clock::time_point start, std::string& error);
  ~EventStream();
  EventStream(const EventStream&) = delete;
  EventStream& operator=(const EventStream&) = delete;

  // One event: "type" and "t" (seconds since the start) first, then `fields`.
  // A stream whose reader has gone is dropped after one line on standard error;
  // the job goes on.
  void Write(const char* type, const nlohmann::ordered_json& fields = nlohmann::ordered_json::object());

  bool on_standard_output() const { return fd_ == 1; }

 private:
  EventStream(int fd, bool owned, Clock::time_point start) : fd_(fd), owned_(owned), start_(start) {}

  int fd_;
  bool owned_;
  Clock::time_point start_;
  bool failed_ = false;
};

}  // namespace vekevents
