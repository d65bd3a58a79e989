// Which modules are due for a job. A module is known by its socket (its USB
// path). A module that appears gets one job; one that stays plugged in after its
// job is not flashed again; one plugged into the same socket later gets a new job.
// Telling the two apart:
// - a job that ended with the normal reset leaves its module restarting: the
//   first time its ports go and come back (within kRestartLimit) is the restart;
// - ports that come back within kSettle of a job's end belong to that module
//   settling (a failed job may leave it between two programs): no new module.
#pragma once

#include <chrono>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vekfactory {

class ModuleSockets {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr Clock::duration kRestartLimit = std::chrono::seconds(60);
  static constexpr Clock::duration kSettle = std::chrono::seconds(3);

  // The USB paths of the modules present now. A new module, or one plugged in
  // again, becomes due; a due module that went before its job began is forgotten.
  void Update(const std::vector<std::string>& present, Clock::time_point now);
  // The next due module (in the order they became due), now busy; nothing when none is due.
  std::optional<std::string> TakeDue();
  size_t due_count() const { return due_.size(); }
  // Its job ended; `restarting`: the job sent the normal reset.
  void JobEnded(const std::string& usb_path, bool restarting, Clock::time_point now);
  // Forgets every due module (no new jobs).
  void DropDue();
  // When a module last appeared (or the sockets were made).
  Clock::time_point last_appearance() const { return last_appearance_; }
  // True while the module whose job ended is restarting.
  bool Restarting(const std::string& usb_path) const;
  // The module whose job ended has left its socket (not restarting, not settling).
  bool TakenOut(const std::string& usb_path, Clock::time_point now) const;
  // The modules due for a job, in the order they became due.
  const std::deque<std::string>& due() const { return due_; }

  explicit ModuleSockets(Clock::time_point now) : last_appearance_(now) {}

 private:
  enum class State { kDue, kBusy, kRestarting, kDone };
  struct Socket {
    State state = State::kDue;
    bool present = true;
    Clock::time_point job_ended{};
  };
  void MakeDue(const std::string& usb_path, Socket& socket, Clock::time_point now);

  std::map<std::string, Socket> sockets_;
  std::deque<std::string> due_;
  Clock::time_point last_appearance_;
};

}  // namespace vekfactory
