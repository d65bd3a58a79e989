#include <errno.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <string>
#include <unordered_map>

#include "link/open_failure.h"
#include "records/time_scale.h"

namespace vek {
namespace {

// While a port keeps failing for the same cause, its facts are looked at again
// at most this often (a retried open comes every half second).
constexpr auto kRecheckInterval = std::chrono::seconds(5);
// Ports remembered at most; more and the memory starts afresh.
constexpr size_t kMaxRemembered = 64;

struct Said {
  int error = 0;
  std::string line;
  Clock::time_point checked;
};

std::mutex log_mutex;
std::function<void(const std::string&)> log_hook;  // guarded by log_mutex

void Log(const std::string& entry) {
  std::function<void(const std::string&)> log;
  {
    std::lock_guard lock(log_mutex);
    log = log_hook;
  }
  if (log) log(entry);
}

std::mutex said_mutex;
std::unordered_map<std::string, Said> said;  // by port path

bool RecentlyChecked(const std::string& path, int error, Clock::time_point now) {
  std::lock_guard lock(said_mutex);
  const auto it = said.find(path);
  return it != said.end() && it->second.error == error && now - it->second.checked < kRecheckInterval;
}

// Records the words; true when they differ from what was last said for the port.
bool Remember(const std::string& path, int error, const std::string& line, Clock::time_point now) {
  std::lock_guard lock(said_mutex);
  if (said.size() >= kMaxRemembered && said.find(path) == said.end()) said.clear();
  Said& entry = said[path];
  const bool changed = entry.line != line;
  entry = {error, line, now};
  return changed;
}

void WriteStandardError(const std::string& line) {
  const std::string text = std::string(program_invocation_short_name) + ": " + line + "\n";
  ssize_t n = write(STDERR_FILENO, text.data(), text.size());  // one write: lines from threads never mix
  (void)n;
}

}  // namespace

void ReportOpenFailure(const std::string& path, int error) {
  const int saved_errno = errno;
  const Clock::time_point now = Clock::now();
  if (!RecentlyChecked(path, error, now)) {
    const OpenFailureWords words = ExplainOpenFailure(path, error, GatherOpenFailureFacts(path, error));
    if (Remember(path, error, words.Line(), now)) {
      WriteStandardError(words.Line());
      // The log keeps short entries: the cause and the fix are one entry each.
      Log(words.reason);
      if (!words.fix.empty()) Log(words.fix);
    }
  }
  errno = saved_errno;
}

void SetOpenFailureLog(std::function<void(const std::string& entry)> log) {
  std::lock_guard lock(log_mutex);
  log_hook = std::move(log);
}

void ForgetOpenFailures() {
  std::lock_guard lock(said_mutex);
  said.clear();
}

}  // namespace vek
