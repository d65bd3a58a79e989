#include "link/console_output.h"

#include <unistd.h>

#include <atomic>

namespace vek {
namespace {

std::atomic<int> console_fd{STDOUT_FILENO};

}  // namespace

void SetConsoleOutput(int fd) { console_fd.store(fd); }

void ConsoleWrite(std::string_view text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(console_fd.load(), text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

}  // namespace vek
