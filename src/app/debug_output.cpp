#include "app/debug_output.h"

#include <errno.h>
#include <unistd.h>

#include "records/reporting.h"
#include "records/terminal_text.h"

namespace vek {

std::string DebugLine(std::string_view text) {
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.remove_suffix(1);
  std::string line = ControlsAsBlanks(text);  // it may quote the module
  line += '\n';
  return line;
}

std::function<void(std::string_view)> DebugLineWriter(int fd) {
  return [fd](std::string_view text) {
    const std::string line = DebugLine(text);
    std::string_view rest = line;
    while (!rest.empty()) {
      const ssize_t n = ::write(fd, rest.data(), rest.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;  // nowhere to write: the debug output is best effort
      rest.remove_prefix(static_cast<size_t>(n));
    }
  };
}

void UseDebugOutput(DebugOutput where) {
  if (where == DebugOutput::kStandardError) {
    SetDebugOutput(DebugLineWriter(STDERR_FILENO));
  } else {
    SetDebugOutput(nullptr);
  }
}

}  // namespace vek
