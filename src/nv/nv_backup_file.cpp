#include "nv/nv_backup_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "nv/nv_exchange.h"

namespace vek {
namespace {

bool WriteAll(int fd, const uint8_t* data, size_t length) {
  while (length > 0) {
    const ssize_t n = write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

// The folder's entry for the renamed file must reach the disk as well.
void SyncFolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

}  // namespace

BackupFileWriter::BackupFileWriter(std::string path) : path_(std::move(path)), partial_path_(path_ + ".part") {}

BackupFileWriter::~BackupFileWriter() { Abandon(); }

bool BackupFileWriter::Create() {
  Abandon();
  failed_ = false;
  records_ = 0;
  buffered_ = 0;
  fd_ = open(partial_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  return fd_ >= 0;
}

void BackupFileWriter::Append(const uint8_t* record) {
  if (fd_ < 0 || record == nullptr) return;
  AppendBytes(record, kNvRecordLength);
  ++records_;
}

void BackupFileWriter::AppendBytes(const uint8_t* bytes, size_t length) {
  if (fd_ < 0 || bytes == nullptr) return;
  // Any length, a buffer at a time: a whole backup may come in one piece.
  while (length > 0) {
    if (buffered_ == sizeof buffer_ && !Flush()) return;
    const size_t part = std::min(length, sizeof buffer_ - buffered_);
    std::memcpy(buffer_ + buffered_, bytes, part);
    buffered_ += part;
    bytes += part;
    length -= part;
  }
}

bool BackupFileWriter::Flush() {
  if (buffered_ > 0 && !WriteAll(fd_, buffer_, buffered_)) failed_ = true;
  buffered_ = 0;
  return !failed_;
}

bool BackupFileWriter::Commit(const Replace& replace) {
  if (fd_ < 0) return false;
  bool ok = Flush() && fsync(fd_) == 0;
  ok = close(fd_) == 0 && ok;
  fd_ = -1;
  if (ok) ok = replace ? replace(partial_path_, path_) : std::rename(partial_path_.c_str(), path_.c_str()) == 0;
  if (!ok) {
    unlink(partial_path_.c_str());
    return false;
  }
  SyncFolderOf(path_);
  return true;
}

void BackupFileWriter::Abandon() {
  if (fd_ < 0) return;
  close(fd_);
  fd_ = -1;
  buffered_ = 0;
  unlink(partial_path_.c_str());
}

BackupFileReader::~BackupFileReader() {
  if (fd_ >= 0) close(fd_);
}

bool BackupFileReader::Open(const std::string& path) {
  if (fd_ >= 0) close(fd_);
  fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) return false;
  struct stat st {};
  // Only a regular file is a backup (a FIFO or a device would never end).
  if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd_);
    fd_ = -1;
    return false;
  }
  length_ = st.st_size;
  return true;
}

int BackupFileReader::Next(uint8_t* record) {
  if (fd_ < 0 || record == nullptr) return 0;
  int got = 0;
  while (got < kNvRecordLength) {
    const ssize_t n = read(fd_, record + got, static_cast<size_t>(kNvRecordLength - got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<int>(n);
  }
  return got;
}

bool CopyBackupFile(const std::string& from, const std::string& to, const BackupFileWriter::Replace& replace) {
  BackupFileReader source;
  BackupFileWriter copy(to);
  if (!source.Open(from) || !copy.Create()) return false;
  uint8_t chunk[kNvRecordLength];
  int64_t copied = 0;
  for (int got; (got = source.Next(chunk)) > 0; copied += got) copy.AppendBytes(chunk, static_cast<size_t>(got));
  if (copied != source.length()) return false;  // a read error: the copy is abandoned
  return copy.Commit(replace);
}

}  // namespace vek
