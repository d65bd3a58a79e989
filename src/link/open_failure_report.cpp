#include <errno.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <string>
#include <unordered_map>

#include "link/open_failure.h"
#include "link/time_scale.h"
#include "upgrade/job_records.h"

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
      // write_log is installed before any task starts and is safe on every thread.
      if (const WriteLogFn write_log = TheJob().write_log) {
        write_log("%s", words.reason.c_str());
        if (!words.fix.empty()) write_log("%s", words.fix.c_str());
      }
    }
  }
  errno = saved_errno;
}

void ForgetOpenFailures() {
  std::lock_guard lock(said_mutex);
  said.clear();
}

}  // namespace vek
