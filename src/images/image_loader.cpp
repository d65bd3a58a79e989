#include "images/image_loader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <span>

#include "images/hex_programmer.h"
#include "images/image_set.h"
#include "images/platform_profile.h"
#include "link/hdlc_frame.h"
#include "link/unique_fd.h"
#include "records/reporting.h"

namespace vek {
namespace {

constexpr char kProductNotChosenText[] = "Product is not choosed!";
constexpr char kMissingFileFormat[] = "Lost %s";
constexpr char kUnreadableFileFormat[] = "no %s";
constexpr char kTooLargeFormat[] = "%s is too large (%lld bytes; at most %lld)";
constexpr char kErrorCaption[] = "Error";

// The partition table and the image headers travel whole in one request:
// request code and one more byte, the file, and the two CRC bytes.
constexpr int64_t kMaxOneRequestFileSize = kPacketCapacity - 4;
constexpr ImageSlot kOneRequestSlots[] = {ImageSlot::kPartition, ImageSlot::kOemsblhd, ImageSlot::kAmsshd};

// Files whose name the operator sees written differently.
struct ReportedName {
  const char* file;
  const char* shown;
};
constexpr ReportedName kReportedNames[] = {{"NPRG6270.hex", "nprg6270.hex"}};

const char* ShownName(const char* file) {
  for (const auto& entry : kReportedNames)
    if (std::strcmp(entry.file, file) == 0) return entry.shown;
  return file;
}

int64_t SizeLimitOf(ImageSlot slot) {
  for (ImageSlot one_request : kOneRequestSlots)
    if (slot == one_request) return kMaxOneRequestFileSize;
  return kMaxImageFileSize;
}

bool IsRegularFile(const std::string& path) {
  struct stat info{};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// Fills `bytes` from the file, feeding each piece to `hasher` right after its
// read (the bytes now in the buffer, not the file again); returns the count
// read (short when the file shrank), or -1.
int64_t ReadAll(int fd, std::span<uint8_t> bytes, Sha256Hasher& hasher) {
  constexpr size_t kChunk = size_t{1} << 20;
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = read(fd, bytes.data() + done, std::min(kChunk, bytes.size() - done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    hasher.Update(bytes.subspan(done, static_cast<size_t>(n)));
    done += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(done);
}

bool LoadSlot(UpgradeJob& job, const std::string& folder, ImageSlot slot, const char* name,
              std::vector<FileFingerprint>& digests) {
  WholeFile file = ReadWholeFile(ImageFilePath(folder, name), SizeLimitOf(slot));
  if (file.failure == ReadFailure::kNone) {
    digests.push_back({name, file.sha256, file.bytes.size()});
    StoreImageSlot(slot, std::move(file.bytes));
    return true;
  }
  char text[160];
  if (file.failure == ReadFailure::kTooLarge)
    std::snprintf(text, sizeof text, kTooLargeFormat, name, static_cast<long long>(file.file_size),
                  static_cast<long long>(SizeLimitOf(slot)));
  else
    std::snprintf(text, sizeof text, kUnreadableFileFormat, ShownName(name));
  job.show_message(kMessageOk, text, kErrorCaption);
  return false;
}

// Replaces the programmer's HEX text by its bytes; the text is released once
// the bytes are in place. A text without data bytes is no programmer.
bool ConvertProgrammerSlot() {
  const ImageView text = SlotData(ImageSlot::kProgrammer);
  std::vector<uint8_t> binary;
  if (!ConvertHexProgrammer({text.data, static_cast<size_t>(text.size)}, binary) || binary.empty()) return false;
  StoreImageSlot(ImageSlot::kProgrammer, std::move(binary));
  return true;
}

}  // namespace

WholeFile ReadWholeFile(const std::string& path, int64_t max_size) {
  WholeFile file;
  // Non-blocking so that a FIFO named like an image cannot hang the open.
  const UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  struct stat info{};
  if (fd.get() < 0 || fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    file.failure = ReadFailure::kCannotOpen;
    return file;
  }
  file.file_size = info.st_size;
  if (info.st_size <= 0) {
    file.failure = ReadFailure::kEmpty;
    return file;
  }
  if (info.st_size > max_size || info.st_size > kMaxImageFileSize) {
    file.failure = ReadFailure::kTooLarge;
    return file;
  }
  try {
    file.bytes.resize(static_cast<size_t>(info.st_size));
  } catch (const std::bad_alloc&) {
    file.failure = ReadFailure::kNoMemory;
    return file;
  }
  Sha256Hasher hasher;
  const int64_t read_count = ReadAll(fd.get(), file.bytes, hasher);
  if (read_count <= 0) {
    file.failure = read_count < 0 ? ReadFailure::kReadError : ReadFailure::kEmpty;
    std::vector<uint8_t>().swap(file.bytes);
    return file;
  }
  file.sha256 = hasher.Finish();
  if (!hasher.ok()) {
    file.failure = ReadFailure::kNoMemory;
    std::vector<uint8_t>().swap(file.bytes);
    return file;
  }
  file.bytes.resize(static_cast<size_t>(read_count));
  return file;
}

std::string ImageFilePath(const std::string& folder, const char* name) {
  if (folder.empty()) return name;
  if (folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

bool CheckImageSet(UpgradeJob& job) {
  const PlatformProfile* profile = ProfileOf(job.platform);
  if (profile == nullptr) {
    job.show_status("%s", kProductNotChosenText);
    return false;
  }
  const std::string folder = job.image_path.Get();
  for (ImageSlot slot : profile->files) {
    const char* name = SlotFileName(slot, *profile);
    if (!IsRegularFile(ImageFilePath(folder, name))) {
      job.show_status(kMissingFileFormat, ShownName(name));
      FreeImageSet();
      return false;
    }
  }
  return true;
}

bool LoadImageSet(UpgradeJob& job) {
  FreeImageSet();
  const PlatformProfile* profile = ProfileOf(job.platform);
  if (profile == nullptr) return false;
  const std::string folder = job.image_path.Get();
  std::vector<FileFingerprint> digests;
  for (ImageSlot slot : profile->files) {
    if (!LoadSlot(job, folder, slot, SlotFileName(slot, *profile), digests)) {
      FreeImageSet();
      return false;
    }
  }
  ImageSetFingerprint fingerprint;
  if (!ConvertProgrammerSlot() || !FingerprintOfSet(std::move(digests), fingerprint)) {
    FreeImageSet();
    return false;
  }
  StoreImageSetFingerprint(std::move(fingerprint));
  return true;
}

}  // namespace vek
