// Looking through /proc for other programs: which are running under a given
// name, which hold a device open, which hold a lock on it. Everything read
// there is untrusted and may vanish while it is read; the work is bounded.
// The /proc root is a parameter so that tests can hand in a tree of their own.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace vek {

inline constexpr char kProcRoot[] = "/proc";

struct ProcessInfo {
  pid_t pid = 0;
  std::string comm;  // the process's short name, printable characters only
};

// The short name of process `pid` ("" when it cannot be read).
std::string ProcessComm(const std::string& proc_root, pid_t pid);

// Every process whose short name is `comm` (at most a handful).
std::vector<ProcessInfo> ProcessesNamed(const std::string& proc_root, const std::string& comm);

// The processes, other than this one, with a descriptor open on the character
// device `rdev`. Processes whose descriptors this user may not see are missed.
std::vector<ProcessInfo> ProcessesHoldingDevice(const std::string& proc_root, dev_t rdev);

// The processes holding a whole-file lock (flock) on the file (device `dev`,
// inode `ino`) as listed in <proc_root>/locks, waiters left out.
std::vector<ProcessInfo> FlockHolders(const std::string& proc_root, dev_t dev, ino_t ino);

}  // namespace vek
