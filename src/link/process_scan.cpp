#include "link/process_scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <charconv>
#include <memory>
#include <sstream>
#include <string_view>

#include "link/small_file.h"

namespace vek {
namespace {

// Bounds on the work of one scan: processes looked at, descriptors looked at
// in all, and processes reported.
constexpr int kMaxProcesses = 8192;
constexpr int kMaxDescriptors = 131072;
constexpr size_t kMaxReported = 4;
// /proc/locks is read up to this size; a longer listing is cut.
constexpr size_t kMaxLocksBytes = 1 << 20;
constexpr size_t kMaxCommBytes = 64;

struct DirCloser {
  void operator()(DIR* d) const { closedir(d); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

// A decimal number made of digits only (a pid or a descriptor's name).
bool ParseDecimal(std::string_view text, long& value) {
  if (text.empty() || text.size() > 10) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

// An unsigned number of digits only in base 10 or 16 (a lock's device and inode).
bool ParseUnsigned(std::string_view text, unsigned long long& value, int base) {
  if (text.empty() || text.size() > 20 || text.front() == '+' || text.front() == '-') return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return error == std::errc() && end == text.data() + text.size();
}


// Calls `visit(pid)` for the numbered entries of the /proc root, at most kMaxProcesses;
// stops when it returns false.
template <typename Visit>
void ForEachProcess(const std::string& proc_root, Visit visit) {
  DirPtr dir(opendir(proc_root.c_str()));
  if (!dir) return;
  int seen = 0;
  while (dirent* entry = readdir(dir.get())) {
    long pid = 0;
    if (!ParseDecimal(entry->d_name, pid) || pid <= 0) continue;
    if (++seen > kMaxProcesses) return;
    if (!visit(static_cast<pid_t>(pid))) return;
  }
}

}  // namespace

std::string ProcessComm(const std::string& proc_root, pid_t pid) {
  std::string text = ReadSmallFile(proc_root + "/" + std::to_string(pid) + "/comm", kMaxCommBytes, TooLarge::kCut);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\0')) text.pop_back();
  if (text.size() > 16) text.resize(16);
  for (char& c : text)
    if (c < 0x20 || c > 0x7e) c = '?';
  return text;
}

std::vector<ProcessInfo> ProcessesNamed(const std::string& proc_root, const std::string& comm) {
  std::vector<ProcessInfo> found;
  ForEachProcess(proc_root, [&](pid_t pid) {
    if (ProcessComm(proc_root, pid) == comm) found.push_back({pid, comm});
    return found.size() < kMaxReported;
  });
  return found;
}

std::vector<ProcessInfo> ProcessesHoldingDevice(const std::string& proc_root, dev_t rdev) {
  std::vector<ProcessInfo> found;
  const pid_t self = getpid();
  int descriptors = 0;
  ForEachProcess(proc_root, [&](pid_t pid) {
    if (pid == self) return true;
    const std::string fd_dir = proc_root + "/" + std::to_string(pid) + "/fd";
    DirPtr dir(opendir(fd_dir.c_str()));
    if (!dir) return true;  // gone, or not ours to see
    while (dirent* entry = readdir(dir.get())) {
      long number = 0;
      if (!ParseDecimal(entry->d_name, number)) continue;
      if (++descriptors > kMaxDescriptors) return false;
      const std::string link = fd_dir + "/" + entry->d_name;
      // Only device nodes are examined: a stat of a socket or of a network
      // file could take long.
      char target[64];
      const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
      if (n <= 0 || std::string_view(target, static_cast<size_t>(n)).substr(0, 5) != "/dev/") continue;
      struct stat st {};
      if (stat(link.c_str(), &st) != 0 || !S_ISCHR(st.st_mode) || st.st_rdev != rdev) continue;
      found.push_back({pid, ProcessComm(proc_root, pid)});
      break;
    }
    return found.size() < kMaxReported;
  });
  return found;
}

std::vector<ProcessInfo> FlockHolders(const std::string& proc_root, dev_t dev, ino_t ino) {
  // Lines read "1: FLOCK  ADVISORY  WRITE 812 00:1a:3 0 EOF"; a waiter's line
  // has "->" after the number. The device is major:minor in hexadecimal.
  std::vector<ProcessInfo> found;
  std::istringstream lines(ReadSmallFile(proc_root + "/locks", kMaxLocksBytes, TooLarge::kCut));
  std::string line;
  while (std::getline(lines, line) && found.size() < kMaxReported) {
    std::istringstream fields(line);
    std::string number, kind, mode, access, pid_text, file;
    if (!(fields >> number >> kind) || kind != "FLOCK") continue;
    if (!(fields >> mode >> access >> pid_text >> file)) continue;
    long pid = 0;
    if (!ParseDecimal(pid_text, pid) || pid <= 0) continue;
    const size_t first = file.find(':');
    const size_t second = file.find(':', first == std::string::npos ? first : first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    unsigned long long major = 0, minor = 0, inode = 0;
    const std::string_view id(file);
    if (!ParseUnsigned(id.substr(0, first), major, 16) || major > 0xfff ||
        !ParseUnsigned(id.substr(first + 1, second - first - 1), minor, 16) || minor > 0xfffff ||
        !ParseUnsigned(id.substr(second + 1), inode, 10))
      continue;
    if (makedev(major, minor) != dev || static_cast<ino_t>(inode) != ino) continue;
    found.push_back({static_cast<pid_t>(pid), ProcessComm(proc_root, static_cast<pid_t>(pid))});
  }
  return found;
}

}  // namespace vek
