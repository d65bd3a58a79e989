// Reading one value from an INI ("profile") file the way the launch options
// expect: sections in square brackets, key=value lines, section and key names
// matched without regard to case, the value trimmed of surrounding blanks.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vek {

// Files are read up to this many bytes; the rest is ignored.
inline constexpr size_t kProfileFileReadLimit = 1 << 20;

// The value of `key` in `section` of the file at `path`, cut to `max_length`
// characters, or `default_value` when the file, the section or the key is
// missing. The first occurrence of the key wins. The file is untrusted: a file
// that is not a regular file (a folder, a pipe, a device) counts as missing,
// lines longer than the parser's line limit are cut (their tail never counts
// as a line of its own), and binary content is read as text.
std::string ReadProfileString(const std::string& path, std::string_view section, std::string_view key,
                              std::string_view default_value, size_t max_length);

}  // namespace vek
