#include "app/single_instance.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vek {

namespace {

// The runtime folder when it is usable, else nothing (the per-user files in /tmp).
const char* RuntimeFolder() {
  const char* runtime = getenv("XDG_RUNTIME_DIR");
  return runtime != nullptr && runtime[0] == '/' ? runtime : nullptr;
}

}  // namespace

std::string InstanceLockPath() {
  if (const char* runtime = RuntimeFolder()) return std::string(runtime) + "/" + kLockFileName;
  return "/tmp/vek-" + std::to_string(getuid()) + ".lock";
}

std::string ModuleLockPath(const std::string& usb_path) {
  if (const char* runtime = RuntimeFolder()) return std::string(runtime) + "/vek-module-" + usb_path + ".lock";
  return "/tmp/vek-" + std::to_string(getuid()) + "-module-" + usb_path + ".lock";
}

SingleInstance::SingleInstance() : SingleInstance(InstanceLockPath()) {}

SingleInstance::SingleInstance(const std::string& path, Mode mode) : path_(path) {
  // No symbolic links and only a regular file of our own: /tmp is shared with
  // every other user of the machine.
  fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600);
  if (fd_ < 0) return;
  struct stat info {};
  if (fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid()) {
    ::close(fd_);
    fd_ = -1;
    return;
  }
  int result;
  do {
    result = flock(fd_, (mode == Mode::kShared ? LOCK_SH : LOCK_EX) | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result == 0) {
    state_ = State::kAcquired;
    return;
  }
  state_ = errno == EWOULDBLOCK ? State::kRunningElsewhere : State::kUnavailable;
  ::close(fd_);
  fd_ = -1;
}

SingleInstance::~SingleInstance() {
  // Closing the descriptor releases the lock; the file itself stays, so a
  // start that opens it at this moment still locks the same file.
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace vek
