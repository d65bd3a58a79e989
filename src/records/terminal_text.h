// Text a module gave (versions, IMEIs, status texts quoting them) on its way to
// a terminal or the journal. A control character there moves the cursor,
// recolours or retitles the terminal: C0 and DEL, and C1 (U+0080 to U+009F;
// U+009B alone opens a control sequence) whether sent as UTF-8 or as a bare
// byte, which an 8-bit terminal takes as the control itself. Everything else,
// valid UTF-8 or not, stays as it is.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

namespace vek {

struct TextPiece {
  size_t length;  // in bytes: one whole UTF-8 sequence, or one byte
  int control;    // its code when it is a control character, else -1
};

// The piece of `text` that starts at `at` (< text.size()).
inline TextPiece PieceAt(std::string_view text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned lead = byte(at);
  if (lead < 0x20 || lead == 0x7F) return {1, static_cast<int>(lead)};
  if (lead < 0x80) return {1, -1};
  const size_t length = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                        : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
  bool whole = length > 0 && at + length <= text.size();
  for (size_t i = 1; whole && i < length; ++i) whole = (byte(at + i) & 0xC0) == 0x80;
  if (!whole) return {1, lead <= 0x9F ? static_cast<int>(lead) : -1};
  if (lead == 0xC2 && byte(at + 1) <= 0x9F) return {2, static_cast<int>(byte(at + 1))};
  return {length, -1};
}

// `text` with each control character as `shown(code)` gives it.
template <typename Shown>
std::string ReplaceControls(std::string_view text, Shown shown) {
  std::string out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    const TextPiece piece = PieceAt(text, at);
    if (piece.control >= 0) out += shown(piece.control);
    else out.append(text.substr(at, piece.length));
    at += piece.length;
  }
  return out;
}

// Each control character as a blank: a line that only ever moves on.
inline std::string ControlsAsBlanks(std::string_view text) {
  return ReplaceControls(text, [](int) { return std::string(" "); });
}

// Each control character as "\xNN": the text as a reader can take it down.
inline std::string ControlsEscaped(std::string_view text) {
  return ReplaceControls(text, [](int code) {
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned>(code));
    return std::string(escaped);
  });
}

}  // namespace vek
