#include "factory/factory_report.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vekfactory {
namespace {

// The length of the file up to and with its last line end (0 when it has none).
off_t WholeLinesLength(int fd, off_t size) {
  char buffer[4096];
  for (off_t end = size; end > 0;) {
    const off_t start = end > static_cast<off_t>(sizeof buffer) ? end - static_cast<off_t>(sizeof buffer) : 0;
    const ssize_t n = pread(fd, buffer, static_cast<size_t>(end - start), start);
    if (n <= 0) return -1;
    for (ssize_t i = n - 1; i >= 0; --i)
      if (buffer[i] == '\n') return start + i + 1;
    end = start;
  }
  return 0;
}

}  // namespace

std::unique_ptr<ReportFile> ReportFile::Open(const std::string& path, std::string& error, bool& repaired) {
  repaired = false;
  const int fd = open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  struct stat info {};
  if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    error = "cannot write the report " + path + ": " + (fd < 0 ? std::strerror(errno) : "not a regular file");
    if (fd >= 0) close(fd);
    return nullptr;
  }
  char last = '\n';
  if (info.st_size > 0 && pread(fd, &last, 1, info.st_size - 1) == 1 && last != '\n') {
    const off_t whole = WholeLinesLength(fd, info.st_size);
    if (whole < 0 || ftruncate(fd, whole) != 0) {
      error = "cannot repair the report " + path + ": " + std::strerror(errno);
      close(fd);
      return nullptr;
    }
    repaired = true;
  }
  return std::unique_ptr<ReportFile>(new ReportFile(fd));
}

ReportFile::~ReportFile() { close(fd_); }

bool ReportFile::Append(const std::string& line) {
  const std::string whole = line + "\n";
  ssize_t n;
  do {
    n = write(fd_, whole.data(), whole.size());
  } while (n < 0 && errno == EINTR);
  if (n != static_cast<ssize_t>(whole.size())) {
    // A short write leaves part of a line: take it back, the file keeps whole lines.
    struct stat info {};
    if (n > 0 && fstat(fd_, &info) == 0) (void)ftruncate(fd_, info.st_size - n);
    return false;
  }
  return fdatasync(fd_) == 0;
}

}  // namespace vekfactory
