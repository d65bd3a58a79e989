#include "nv/nv_history.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>

#include "link/unique_fd.h"

namespace vek {
namespace {

constexpr const char* kExtension = ".nvb";
constexpr size_t kStampLength = 16;  // yyyymmddThhmmssZ
constexpr int kMostPerSecond = 99;

// The name part of "<name>.nvb": it becomes part of file names in nv-history/,
// so only plain characters pass (the identity copy's name comes from the module).
std::optional<std::string> StemOf(const std::string& file_name) {
  const size_t extension = std::strlen(kExtension);
  if (file_name.size() <= extension || file_name.size() > 64 + extension ||
      file_name.compare(file_name.size() - extension, extension, kExtension) != 0)
    return std::nullopt;
  std::string stem = file_name.substr(0, file_name.size() - extension);
  for (unsigned char c : stem)
    if (!std::isalnum(c) && c != '_') return std::nullopt;
  return stem;
}

std::pair<std::string, std::string> SplitPath(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {".", path};
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

std::string Stamp(std::time_t now) {
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[32] = {};
  std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
  return text;
}

// A kept copy's time and same-second number, when `entry` is one of `stem`.
struct KeptName {
  std::string name;
  std::string stamp;
  int sequence = 1;
};

std::optional<KeptName> ParseKept(const std::string& entry, const std::string& stem) {
  const size_t extension = std::strlen(kExtension);
  const std::string prefix = stem + "-";
  if (entry.size() < prefix.size() + kStampLength + extension || entry.compare(0, prefix.size(), prefix) != 0 ||
      entry.compare(entry.size() - extension, extension, kExtension) != 0)
    return std::nullopt;
  KeptName kept{entry, entry.substr(prefix.size(), kStampLength)};
  for (size_t i = 0; i < kStampLength; ++i) {
    const char c = kept.stamp[i];
    const bool ok = i == 8 ? c == 'T' : i == 15 ? c == 'Z' : std::isdigit(static_cast<unsigned char>(c)) != 0;
    if (!ok) return std::nullopt;
  }
  const std::string rest = entry.substr(prefix.size() + kStampLength, entry.size() - prefix.size() - kStampLength -
                                                                          extension);
  if (rest.empty()) return kept;
  if (rest.size() < 2 || rest.size() > 3 || rest[0] != '-' ||
      rest.find_first_not_of("0123456789", 1) != std::string::npos)
    return std::nullopt;
  kept.sequence = std::stoi(rest.substr(1));
  return kept;
}

std::vector<KeptName> ListKept(int history, const std::string& stem) {
  std::vector<KeptName> kept;
  const int fd = dup(history);
  if (fd < 0) return kept;
  DIR* folder = fdopendir(fd);
  if (folder == nullptr) {
    close(fd);
    return kept;
  }
  while (const dirent* entry = readdir(folder))
    if (auto parsed = ParseKept(entry->d_name, stem)) kept.push_back(*parsed);
  closedir(folder);
  std::sort(kept.begin(), kept.end(), [](const KeptName& a, const KeptName& b) {
    return a.stamp != b.stamp ? a.stamp < b.stamp : a.sequence < b.sequence;
  });
  return kept;
}

bool SameBytes(int folder, const std::string& a, const std::string& b) {
  UniqueFd first(openat(folder, a.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  UniqueFd second(openat(folder, b.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (first.get() < 0 || second.get() < 0) return false;
  struct stat sa {}, sb {};
  if (fstat(first.get(), &sa) != 0 || fstat(second.get(), &sb) != 0 || sa.st_size != sb.st_size) return false;
  char x[16384], y[16384];
  for (;;) {
    const ssize_t n = read(first.get(), x, sizeof x);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    ssize_t got = 0;
    while (got < n) {
      const ssize_t m = read(second.get(), y + got, static_cast<size_t>(n - got));
      if (m < 0 && errno == EINTR) continue;
      if (m <= 0) return false;
      got += m;
    }
    if (std::memcmp(x, y, static_cast<size_t>(n)) != 0) return false;
  }
}

std::string Failure(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

// Gives the earlier file a name in nv-history/ that no file has yet. `moved`
// tells whether it lost its own name (a file system without hard links).
std::optional<std::string> Keep(int folder, int history, const std::string& file_name, const std::string& stem,
                                std::time_t now, bool& moved, std::string& error) {
  const std::string base = stem + "-" + Stamp(now);
  for (int sequence = 1; sequence <= kMostPerSecond; ++sequence) {
    const std::string name = base + (sequence == 1 ? "" : "-" + std::to_string(sequence)) + kExtension;
    if (linkat(folder, file_name.c_str(), history, name.c_str(), 0) == 0) return name;
    if (errno == EEXIST) continue;
    if (errno != EPERM && errno != EOPNOTSUPP && errno != EMLINK) {
      error = Failure("can't link it into nv-history/");
      return std::nullopt;
    }
    // No hard links here: move it instead, never over an existing name.
    if (renameat2(folder, file_name.c_str(), history, name.c_str(), RENAME_NOREPLACE) == 0) {
      moved = true;
      return name;
    }
    if (errno == EEXIST) continue;
    error = Failure("can't move it into nv-history/");
    return std::nullopt;
  }
  error = "too many kept in the same second";
  return std::nullopt;
}

void Prune(int history, const std::string& stem, const std::string& newest, NvHistoryResult& result) {
  std::vector<KeptName> kept = ListKept(history, stem);
  std::erase_if(kept, [&](const KeptName& k) { return k.name == newest; });
  // The newest is one of the kNvHistoryKept.
  for (size_t i = 0; i + kNvHistoryKept < kept.size() + 1; ++i)
    if (unlinkat(history, kept[i].name.c_str(), 0) == 0)
      result.dropped.push_back(std::string(kNvHistoryFolder) + "/" + kept[i].name);
  if (!result.dropped.empty()) fsync(history);
}

}  // namespace

NvHistoryResult ReplaceKeepingEarlier(const std::string& partial_path, const std::string& final_path,
                                      std::time_t now) {
  NvHistoryResult result;
  // Named, not a structured binding: the lambda below captures the file's name.
  const auto split = SplitPath(final_path);
  const std::string& folder_path = split.first;
  const std::string& file_name = split.second;
  const std::optional<std::string> stem = StemOf(file_name);
  if (!stem) {
    result.error = "not a backup file name";
    return result;
  }
  UniqueFd folder(open(folder_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() < 0) {
    result.error = Failure("can't open its folder");
    return result;
  }
  const auto place = [&] {
    if (renameat(AT_FDCWD, partial_path.c_str(), folder.get(), file_name.c_str()) != 0) {
      result.error = Failure("can't rename");
      return false;
    }
    fsync(folder.get());
    result.placed = true;
    return true;
  };

  struct stat earlier {};
  if (fstatat(folder.get(), file_name.c_str(), &earlier, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno != ENOENT) {
      result.error = Failure("can't look at it");
      return result;
    }
    place();  // the first of its name: nothing to keep
    return result;
  }
  if (!S_ISREG(earlier.st_mode)) {
    result.error = "it is not a regular file";
    return result;
  }
  const auto [partial_folder, partial_name] = SplitPath(partial_path);
  if (partial_folder == folder_path && SameBytes(folder.get(), file_name, partial_name)) {
    place();  // the same items again: the earlier copy loses nothing
    return result;
  }

  bool created = false;
  if (mkdirat(folder.get(), kNvHistoryFolder, 0700) == 0) {
    created = true;
  } else if (errno != EEXIST) {
    result.error = Failure("can't create nv-history/");
    return result;
  }
  // Never through a symbolic link: the kept copies stay beside the backup.
  UniqueFd history(openat(folder.get(), kNvHistoryFolder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (history.get() < 0) {
    result.error = Failure("can't open nv-history/");
    return result;
  }
  bool moved = false;
  const std::optional<std::string> kept = Keep(folder.get(), history.get(), file_name, *stem, now, moved, result.error);
  if (!kept) return result;
  if (fsync(history.get()) != 0 || (created || moved ? fsync(folder.get()) != 0 : false)) {
    result.error = Failure("can't sync nv-history/");
  }
  if (!result.error.empty() || !place()) {
    // Undo, so the earlier file is exactly where it was.
    if (moved) {
      renameat2(history.get(), kept->c_str(), folder.get(), file_name.c_str(), RENAME_NOREPLACE);
    } else {
      unlinkat(history.get(), kept->c_str(), 0);
    }
    fsync(history.get());
    fsync(folder.get());
    result.placed = false;
    return result;
  }
  result.kept_as = std::string(kNvHistoryFolder) + "/" + *kept;
  Prune(history.get(), *stem, *kept, result);
  return result;
}

std::vector<std::string> KeptCopies(const std::string& folder, const std::string& file_name) {
  std::vector<std::string> names;
  const std::optional<std::string> stem = StemOf(file_name);
  if (!stem) return names;
  UniqueFd history(open((folder + "/" + kNvHistoryFolder).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (history.get() < 0) return names;
  for (const KeptName& kept : ListKept(history.get(), *stem)) names.push_back(kept.name);
  return names;
}

}  // namespace vek
