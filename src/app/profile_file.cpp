#include "app/profile_file.h"

#include <fcntl.h>
#include <ini.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

namespace vek {
namespace {

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Opens a regular file for reading without blocking on a pipe or a device.
FilePtr OpenRegularFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return nullptr;
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return nullptr;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  FILE* file = fdopen(fd, "r");
  if (file == nullptr) {
    close(fd);
    return nullptr;
  }
  return FilePtr(file);
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

// Hands the parser one whole line at a time, shaped so that it reads the file
// by the profile rules rather than its own looser ones:
// - an overlong line is cut and the rest of it skipped, so its tail never
//   turns into a line of its own;
// - leading blanks are removed, so an indented key is a key and never the
//   continuation of the previous value;
// - a key line needs an equals sign before any colon ("name: value" is not a
//   key line here), anything else that is not a section or a comment is dropped;
// - a UTF-8 byte-order mark at the very start is skipped.
struct LineFeed {
  FILE* file;
  size_t budget;
  bool first_line = true;
};

char* NextLine(char* line, int capacity, void* stream) {
  auto* feed = static_cast<LineFeed*>(stream);
  if (capacity < 2) return nullptr;
  const size_t keep = static_cast<size_t>(capacity) - 1;
  size_t length = 0;
  bool any = false;
  int c;
  while (feed->budget > 0 && (c = std::getc(feed->file)) != EOF) {
    --feed->budget;
    any = true;
    if (c == '\n') break;
    if (length < keep) line[length++] = static_cast<char>(c);
  }
  if (!any) return nullptr;
  line[length] = '\0';

  char* start = line;
  if (feed->first_line && std::strncmp(start, "\xEF\xBB\xBF", 3) == 0) start += 3;
  feed->first_line = false;
  while (IsBlank(*start)) ++start;
  std::memmove(line, start, std::strlen(start) + 1);

  const char first = line[0];
  if (first == '\0' || first == '[' || first == ';' || first == '#') return line;
  const char* equals = std::strchr(line, '=');
  const char* colon = std::strchr(line, ':');
  if (equals == nullptr || (colon != nullptr && colon < equals)) line[0] = '\0';
  return line;
}

struct Lookup {
  std::string_view section;
  std::string_view key;
  std::string value;
  bool found = false;
};

bool SameName(const char* name, std::string_view wanted) {
  return std::strlen(name) == wanted.size() && strncasecmp(name, wanted.data(), wanted.size()) == 0;
}

int TakeFirstMatch(void* user, const char* section, const char* name, const char* value) {
  auto* lookup = static_cast<Lookup*>(user);
  if (!lookup->found && SameName(section, lookup->section) && SameName(name, lookup->key)) {
    lookup->value = value;
    lookup->found = true;
  }
  return 1;  // keep going: a line the parser rejects is only skipped
}

}  // namespace

std::string ReadProfileString(const std::string& path, std::string_view section, std::string_view key,
                              std::string_view default_value, size_t max_length) {
  std::string result(default_value);
  if (FilePtr file = OpenRegularFile(path)) {
    LineFeed feed{file.get(), kProfileFileReadLimit};
    Lookup lookup{section, key, {}};
    ini_parse_stream(NextLine, &feed, TakeFirstMatch, &lookup);
    if (lookup.found) result = std::move(lookup.value);
  }
  if (result.size() > max_length) result.resize(max_length);
  return result;
}

}  // namespace vek
