#include "link/small_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace vek {

std::string ReadSmallFile(const std::string& path, size_t limit, TooLarge too_large) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return {};
  std::string text;
  struct stat st {};
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    char buffer[8192];
    // One byte past the limit tells a file of exactly `limit` bytes from a longer one.
    while (text.size() <= limit) {
      const ssize_t n = read(fd, buffer, std::min(sizeof buffer, limit + 1 - text.size()));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        text.clear();
        break;
      }
      if (n == 0) break;
      text.append(buffer, static_cast<size_t>(n));
    }
    if (text.size() > limit) {
      if (too_large == TooLarge::kCut) text.resize(limit);
      else text.clear();
    }
  }
  close(fd);
  return text;
}

}  // namespace vek
