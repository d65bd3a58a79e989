#include "factory/factory_options_file.h"

#include <fcntl.h>
#include <ini.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>

namespace vekfactory {
namespace {

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};

// A regular file, opened without blocking on a pipe or a device named by mistake.
std::unique_ptr<FILE, FileCloser> OpenRegularFile(const std::string& path, std::string& error) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  struct stat info {};
  if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    error = fd < 0 ? std::strerror(errno) : "not a regular file";
    if (fd >= 0) close(fd);
    return nullptr;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  FILE* file = fdopen(fd, "r");
  if (file == nullptr) close(fd);
  return std::unique_ptr<FILE, FileCloser>(file);
}

struct Reading {
  FILE* file;
  const std::map<std::string, OptionKey>& keys;
  size_t line = 0;
  std::set<std::string> seen;
  std::vector<std::string> words;
  std::string error;  // the first mistake, with its line
  size_t error_line = 0;

  void Refuse(const std::string& why) {
    if (!error.empty()) return;
    error = "line " + std::to_string(line) + ": " + why;
    error_line = line;
  }
};

// One line at a time, counted, its leading blanks gone (an indented line is a
// line of its own, never the continuation of the value above it); a line the
// parser could not hold whole is refused rather than read in pieces.
char* NextLine(char* text, int capacity, void* stream) {
  auto* reading = static_cast<Reading*>(stream);
  if (std::fgets(text, capacity, reading->file) == nullptr) return nullptr;
  ++reading->line;
  const size_t length = std::strlen(text);
  int c;
  if (length > 0 && text[length - 1] != '\n' && (c = std::getc(reading->file)) != EOF && c != '\n') {
    while ((c = std::getc(reading->file)) != EOF && c != '\n') {
    }
    reading->Refuse("longer than " + std::to_string(capacity - 1) + " characters");
    text[0] = '\0';
  }
  const size_t blanks = std::strspn(text, " \t");
  std::memmove(text, text + blanks, std::strlen(text + blanks) + 1);
  return text;
}

std::optional<bool> FlagValue(const std::string& value) {
  for (const char* yes : {"true", "yes", "on", "1"})
    if (value == yes) return true;
  for (const char* no : {"false", "no", "off", "0"})
    if (value == no) return false;
  return std::nullopt;
}

int TakeKey(void* user, const char* section, const char* name, const char* raw_value) {
  auto* reading = static_cast<Reading*>(user);
  std::string value = raw_value;
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
  const auto key = reading->keys.find(name);
  if (*section != '\0') {
    reading->Refuse(std::string("\"") + name + "\" is in a section [" + section + "]; the file has none");
  } else if (key == reading->keys.end()) {
    reading->Refuse(std::string("no option \"") + name + "\" (a key is a long option of vek-factory(1) without its dashes)");
  } else if (!reading->seen.insert(name).second) {
    reading->Refuse(std::string(name) + " is given twice");
  } else if (key->second.flag && !FlagValue(value)) {
    reading->Refuse(std::string(name) + " expects true or false");
  } else if (!key->second.flag && value.empty()) {
    reading->Refuse(std::string(name) + " has no value");
  } else if (!key->second.on_command_line && key->second.flag) {
    if (*FlagValue(value)) reading->words.push_back("--" + key->first);
  } else if (!key->second.on_command_line) {
    reading->words.push_back("--" + key->first + "=" + value);
  }
  return 1;  // read on: the first mistake is told, with its line
}

}  // namespace

std::optional<std::vector<std::string>> ReadOptionsFile(const std::string& path,
                                                        const std::map<std::string, OptionKey>& keys,
                                                        std::string& error) {
  std::string why;
  const auto file = OpenRegularFile(path, why);
  if (!file) {
    error = "cannot read the options file " + path + ": " + why;
    return std::nullopt;
  }
  Reading reading{file.get(), keys};
  const int first_bad_line = ini_parse_stream(NextLine, &reading, TakeKey, &reading);
  if (first_bad_line < 0) {
    error = "cannot read the options file " + path;
    return std::nullopt;
  }
  // The parser's own mistakes (a line that is no "key = value") count when they come first.
  if (first_bad_line > 0 && (reading.error.empty() || static_cast<size_t>(first_bad_line) < reading.error_line))
    reading.error = "line " + std::to_string(first_bad_line) + ": not \"key = value\"";
  if (!reading.error.empty()) {
    error = path + ": " + reading.error;
    return std::nullopt;
  }
  return std::move(reading.words);
}

}  // namespace vekfactory
