// Text from a module (its version, identity, port names) and from files (vek.log,
// image names) may hold any byte; PostgreSQL refuses a text that is not UTF-8
// (and any NUL), which would hold a station's shipping up at that row.
#pragma once

#include <string>

namespace vek {

// `text` as valid UTF-8 without NUL: each byte that is not part of a whole
// UTF-8 character (and each NUL) is written as "\xHH", so no byte is lost.
// Valid text comes back unchanged.
std::string ValidUtf8(const std::string& text);

}  // namespace vek
