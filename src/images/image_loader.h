// Checking and loading the image files of the job's platform from its image
// folder. The working directory is never changed: every file is opened by
// joining the folder and the file name.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "images/image_fingerprint.h"
#include "records/job_records.h"

namespace vek {

// The largest file a 32-bit signed size can describe.
inline constexpr int64_t kMaxImageFileSize = INT32_MAX;

enum class ReadFailure {
  kNone,
  kCannotOpen,  // missing, unreadable, or not a regular file
  kEmpty,
  kTooLarge,    // longer than the limit asked for; nothing was allocated
  kNoMemory,    // the buffer or the digest could not be had
  kReadError,
};

struct WholeFile {
  std::vector<uint8_t> bytes;  // the bytes actually read; empty unless failure is kNone
  ReadFailure failure = ReadFailure::kNone;
  int64_t file_size = 0;       // the length the file reported
  Sha256Digest sha256{};       // of `bytes`, taken as they were read
};

// Reads a regular file whole into one buffer of its own length, and hashes
// the bytes in that buffer as they arrive (no second read of the file).
WholeFile ReadWholeFile(const std::string& path, int64_t max_size = kMaxImageFileSize);

// `folder` joined with a file name ("name" alone when the folder is empty).
std::string ImageFilePath(const std::string& folder, const char* name);

// Whether every file of the job's platform is a file in the image folder.
// Reports "Product is not choosed!" or "Lost <file>" on the status line; a
// missing file also empties the image set. Nothing is loaded.
bool CheckImageSet(UpgradeJob& job);

// Reads every file of the job's platform into its slot, then converts the
// programmer's HEX text into its bytes. A file that cannot be read is shown as
// "no <file>" (caption "Error"); the partition table and the image headers
// must fit one request, anything else the 32-bit size. The set's fingerprint
// (image_fingerprint.h) is taken of the files as read, the programmer's HEX
// text included, and kept with the set. On any failure the set is left empty;
// a platform outside 0..3 or a HEX text that does not convert fails without a
// message of its own.
bool LoadImageSet(UpgradeJob& job);

}  // namespace vek
