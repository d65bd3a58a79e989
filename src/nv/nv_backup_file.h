// The backup file on disk: a plain sequence of 131-byte records (0x26, item id
// little-endian, 128 data bytes), no header, no trailer.
//
// A backup is written to "<name>.part" beside the final file and renamed over
// it only once complete and flushed to the disk, so a killed process or a power
// cut never leaves a truncated backup that a later restore would write into a module.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace vek {

inline constexpr const char* kBackupFileName = "backup.nvb";

class BackupFileWriter {
 public:
  explicit BackupFileWriter(std::string path);
  ~BackupFileWriter();  // abandons an uncommitted file
  BackupFileWriter(const BackupFileWriter&) = delete;
  BackupFileWriter& operator=(const BackupFileWriter&) = delete;

  // Creates the partial file, truncating a leftover one. False when it cannot be created.
  bool Create();
  // Appends one record (131 bytes). A failed write is remembered and fails Commit.
  void Append(const uint8_t* record);
  // Appends any bytes (a copy of a file that may end in a cut-off record).
  void AppendBytes(const uint8_t* bytes, size_t length);

  // Puts the synced partial file in place of the final one; false when it did not.
  using Replace = std::function<bool(const std::string& partial_path, const std::string& final_path)>;
  // Flushes, syncs and hands the partial file to `replace` (by default a rename
  // over the final one). False (and the partial file removed, the final one
  // untouched) when any step failed.
  bool Commit(const Replace& replace = {});
  // Closes and removes the partial file; the final file is untouched.
  void Abandon();

  size_t records() const { return records_; }
  const std::string& partial_path() const { return partial_path_; }

 private:
  bool Flush();

  std::string path_;
  std::string partial_path_;
  int fd_ = -1;
  bool failed_ = false;
  size_t records_ = 0;
  uint8_t buffer_[64 * 1024];
  size_t buffered_ = 0;
};

// Copies backup file `from` to `to` as a backup is written: whole and synced
// before `replace` (by default a rename) gives it the name. False, and `to`
// untouched, when the source cannot be read whole or the copy not placed.
bool CopyBackupFile(const std::string& from, const std::string& to, const BackupFileWriter::Replace& replace = {});

class BackupFileReader {
 public:
  BackupFileReader() = default;
  ~BackupFileReader();
  BackupFileReader(const BackupFileReader&) = delete;
  BackupFileReader& operator=(const BackupFileReader&) = delete;

  bool Open(const std::string& path);
  int64_t length() const { return length_; }
  // Reads up to 131 bytes into `record`; returns the count (0 at the end or on a read error).
  int Next(uint8_t* record);

 private:
  int fd_ = -1;
  int64_t length_ = 0;
};

}  // namespace vek
