#include "records/protocol_trace.h"

#include <errno.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace vek {

namespace trace_detail {
std::atomic<bool> enabled{false};
}

namespace {

std::mutex trace_mutex;
int trace_fd = -1;          // guarded by trace_mutex
std::string trace_path;     // guarded by trace_mutex
timespec trace_start{};     // guarded by trace_mutex

void Warn(const std::string& text) {
  const std::string line = std::string(program_invocation_short_name) + ": " + text + "\n";
  [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, line.data(), line.size());
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// Called with trace_mutex held.
void CloseLocked() {
  trace_detail::enabled.store(false, std::memory_order_relaxed);
  if (trace_fd >= 0) ::close(trace_fd);
  trace_fd = -1;
}

// "   12.345678" since the trace started. Called with trace_mutex held.
void AppendStamp(std::string& line) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  long long seconds = now.tv_sec - trace_start.tv_sec;
  long nanoseconds = now.tv_nsec - trace_start.tv_nsec;
  if (nanoseconds < 0) {
    nanoseconds += 1000000000L;
    --seconds;
  }
  char stamp[40];
  const int n = std::snprintf(stamp, sizeof stamp, "%4lld.%06ld", seconds, nanoseconds / 1000);
  line.append(stamp, static_cast<size_t>(std::max(n, 0)));
}

// Writes `text` (whole lines); a failed write ends the trace with one warning.
// Called with trace_mutex held.
void WriteLocked(const std::string& text) {
  if (trace_fd < 0) return;
  if (WriteAll(trace_fd, text)) return;
  const int error = errno;
  Warn("the trace file " + trace_path + " could not be written (" + std::strerror(error) +
       "); tracing stopped, the job goes on");
  CloseLocked();
}

void AppendNote(std::string& line, std::string_view note) {
  if (note.empty()) return;
  line += " [";
  line += note;
  line += ']';
}

void AppendHex(std::string& line, const uint8_t* bytes, size_t count) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  const size_t at = line.size();
  line.resize(at + 3 * count);
  char* out = line.data() + at;
  for (size_t i = 0; i < count; ++i) {
    *out++ = ' ';
    *out++ = kDigits[bytes[i] >> 4];
    *out++ = kDigits[bytes[i] & 0x0F];
  }
}

void TraceBytes(char direction, const uint8_t* bytes, size_t count, std::string_view note) {
  if (!ProtocolTraceOn() || (bytes == nullptr && count > 0)) return;
  std::string text;
  text.reserve(3 * count + 32 * (count / kTraceBytesPerLine + 1) + note.size());
  std::lock_guard lock(trace_mutex);
  if (trace_fd < 0) return;
  std::string stamp;
  AppendStamp(stamp);
  size_t done = 0;
  do {  // an empty block still gives its line
    const size_t part = std::min(count - done, kTraceBytesPerLine);
    text += stamp;
    text += ' ';
    text += direction;
    AppendHex(text, bytes + done, part);
    done += part;
    AppendNote(text, done < count ? std::string_view("...") : note);
    text += '\n';
  } while (done < count);
  WriteLocked(text);
}

void TraceLine(char direction, std::string_view body, std::string_view note) {
  if (!ProtocolTraceOn()) return;
  std::lock_guard lock(trace_mutex);
  if (trace_fd < 0) return;
  std::string line;
  line.reserve(20 + body.size() + note.size());
  AppendStamp(line);
  line += ' ';
  line += direction;
  line += ' ';
  line += body;
  AppendNote(line, note);
  line += '\n';
  WriteLocked(line);
}

bool PrintableText(const uint8_t* bytes, size_t count) {
  return std::all_of(bytes, bytes + count,
                     [](uint8_t b) { return (b >= 0x20 && b < 0x7F) || b == '\r' || b == '\n' || b == '\t'; });
}

void TraceTextOrBytes(char direction, const uint8_t* bytes, size_t count, std::string_view note) {
  if (!ProtocolTraceOn() || bytes == nullptr || count == 0) return;
  if (!PrintableText(bytes, count)) return TraceBytes(direction, bytes, count, note);
  const std::string_view text(reinterpret_cast<const char*>(bytes), count);
  TraceLine(direction, '"' + EscapeTraceText(text) + '"', note);
}

}  // namespace

std::string ChooseTracePath(const std::string& option) {
  if (!option.empty()) return option;
  const char* env = std::getenv(kTraceEnvironmentVariable);
  return env != nullptr ? std::string(env) : std::string();
}

bool StartProtocolTrace(const std::string& path) {
  std::lock_guard lock(trace_mutex);
  CloseLocked();
  trace_path = path;
  trace_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0644);
  if (trace_fd < 0) {
    const int error = errno;
    Warn("the trace file " + path + " could not be opened (" + std::strerror(error) + "); no trace is written");
    return false;
  }
  clock_gettime(CLOCK_MONOTONIC, &trace_start);
  const time_t wall = ::time(nullptr);
  tm utc{};
  gmtime_r(&wall, &utc);
  char started[64];
  std::strftime(started, sizeof started, "%Y-%m-%d %H:%M:%S UTC", &utc);
  std::string line;
  AppendStamp(line);
  line += " # trace: started ";
  line += started;
  line += " by " + std::string(program_invocation_short_name) + ", pid " + std::to_string(::getpid()) + "\n";
  trace_detail::enabled.store(true, std::memory_order_relaxed);
  WriteLocked(line);
  return trace_fd >= 0;
}

void StopProtocolTrace() {
  std::lock_guard lock(trace_mutex);
  if (trace_fd < 0) return;
  std::string line;
  AppendStamp(line);
  line += " # trace: stopped\n";
  WriteLocked(line);
  CloseLocked();
}

void TraceSent(const uint8_t* bytes, size_t count, std::string_view note) { TraceBytes('>', bytes, count, note); }

void TraceReceived(const uint8_t* bytes, size_t count, std::string_view note) {
  TraceBytes('<', bytes, count, note);
}

void TraceSentTextOrBytes(const uint8_t* bytes, size_t count, std::string_view note) {
  TraceTextOrBytes('>', bytes, count, note);
}

void TraceReceivedTextOrBytes(const uint8_t* bytes, size_t count, std::string_view note) {
  TraceTextOrBytes('<', bytes, count, note);
}

void TraceStatus(std::string_view text) {
  if (ProtocolTraceOn()) TraceLine('#', "status: " + EscapeTraceText(text), {});
}

void TraceMessageBox(std::string_view caption, std::string_view text) {
  if (ProtocolTraceOn()) TraceLine('#', "box: " + EscapeTraceText(caption) + ": " + EscapeTraceText(text), {});
}

std::string EscapeTraceText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          char escaped[5];
          std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out;
}

}  // namespace vek
