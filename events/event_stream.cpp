#include "events/event_stream.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace vekevents {
namespace {

// The N of "fd:N": digits only, an int.
bool DescriptorNumber(const std::string& text, int& fd) {
  if (text.size() < 4 || text.size() > 13) return false;
  long long value = 0;
  for (size_t i = 3; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  if (value > 0x7FFFFFFF) return false;
  fd = static_cast<int>(value);
  return true;
}

bool OpenForWriting(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && ((flags & O_ACCMODE) == O_WRONLY || (flags & O_ACCMODE) == O_RDWR);
}

}  // namespace

std::unique_ptr<EventStream> EventStream::Open(const std::string& where, Clock::time_point start, std::string& error) {
  // A reader that goes away must not end the job: its write fails with EPIPE instead.
  signal(SIGPIPE, SIG_IGN);
  if (where == "-") return std::unique_ptr<EventStream>(new EventStream(STDOUT_FILENO, false, start));
  if (where.rfind("fd:", 0) == 0) {
    int fd = -1;
    if (!DescriptorNumber(where, fd)) {
      error = "--events fd:N expects a descriptor number, not \"" + where + "\"";
      return nullptr;
    }
    if (!OpenForWriting(fd)) {
      error = "--events " + where + ": descriptor " + std::to_string(fd) + " is not open for writing";
      return nullptr;
    }
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    return std::unique_ptr<EventStream>(new EventStream(fd, true, start));
  }
  const int fd = open(where.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = "--events: cannot write \"" + where + "\": " + std::strerror(errno);
    return nullptr;
  }
  return std::unique_ptr<EventStream>(new EventStream(fd, true, start));
}

EventStream::~EventStream() {
  if (owned_) close(fd_);
}

void EventStream::Write(const char* type, const nlohmann::ordered_json& fields) {
  if (failed_) return;
  const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
  nlohmann::ordered_json event;
  event["type"] = type;
  event["t"] = std::round(seconds * 1000) / 1000;  // milliseconds are enough
  for (const auto& [key, value] : fields.items()) event[key] = value;
  // Texts from the module may hold bytes that are not UTF-8: they become U+FFFD.
  std::string line = event.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
  for (size_t written = 0; written < line.size();) {
    const ssize_t n = write(fd_, line.data() + written, line.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failed_ = true;
      std::fprintf(stderr, "vek-cli: the event stream cannot be written (%s); no more events\n",
                   n < 0 ? std::strerror(errno) : "nothing written");
      return;
    }
    written += static_cast<size_t>(n);
  }
}

}  // namespace vekevents
