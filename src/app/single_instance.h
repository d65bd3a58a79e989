// Only one VEK (the desktop program or vek-cli) runs on a machine at a time,
// unless each vek-cli works on a module of its own. The guard is an flock() on
// a lock file in the user's runtime folder: the system drops the lock when the
// holder ends, however it ends, so a crashed run never blocks the next one.
//
// The desktop program and vek-cli on every module take "vek.lock" exclusively.
// vek-cli on one module takes it shared, plus its module's own lock
// exclusively: runs on different modules go side by side, two on one module
// do not, and neither kind runs beside the other.
#pragma once

#include <string>

namespace vek {

// What a second start tells the operator before it exits with 0.
inline constexpr char kAlreadyRunningText[] = "VEK has been running";
inline constexpr char kLockFileName[] = "vek.lock";

// $XDG_RUNTIME_DIR/vek.lock, or /tmp/vek-<uid>.lock when that variable is unset,
// empty or not an absolute path.
std::string InstanceLockPath();

// The lock of the module plugged in at `usb_path` (well formed, see
// link/usb_port_path.h), beside InstanceLockPath(): "vek-module-1-2.3.lock".
std::string ModuleLockPath(const std::string& usb_path);

class SingleInstance {
 public:
  enum class State {
    kAcquired,          // this process is the one VEK
    kRunningElsewhere,  // another VEK holds the lock
    kUnavailable,       // the lock file cannot be opened or is not ours
  };

  enum class Mode { kExclusive, kShared };

  // Takes the lock at InstanceLockPath() (or `path`) without waiting; it is held
  // until this object is destroyed or the process ends.
  SingleInstance();
  explicit SingleInstance(const std::string& path, Mode mode = Mode::kExclusive);
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  bool acquired() const { return state_ == State::kAcquired; }
  State state() const { return state_; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  int fd_ = -1;
  State state_ = State::kUnavailable;
};

}  // namespace vek
