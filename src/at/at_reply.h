// Reading the module's AT replies: text, keywords and the values after them.
//
// Every byte of a reply is untrusted. A reply is read into a zero-filled buffer
// one byte larger than the read size, so it always ends as text; values are cut
// to the fields that keep them.
#pragma once

#include <string>
#include <string_view>

namespace vek {

// Longest value taken from a reply (the version fields hold 50 bytes).
inline constexpr size_t kAtValueMaxLength = 49;
// Longest part of "DeviceInfo: M,D" read as a number.
inline constexpr size_t kProductIdMaxDigits = 9;

// The reply as text: up to its first NUL, never beyond `size` bytes.
std::string_view ReplyText(const char* reply, size_t size);

bool ReplyHas(std::string_view reply, std::string_view keyword);

// The text right after the first `keyword` (a leading blank stays part of it) up
// to the first CR LF after it, or to the end of the reply when none follows;
// cut to 49 characters. Empty when the keyword is absent.
std::string ReplyValue(std::string_view reply, std::string_view keyword);

// True when the reply's last line is a final result ("OK", "ERROR", "+CME
// ERROR: ..." or "+CMS ERROR: ..."): a reply without one was cut short and may
// hold a cut value.
bool ReplyFinished(std::string_view reply);

// A product id: at most 9 characters, leading blanks skipped, an optional sign,
// the digits up to the first non-digit; 0 when there are none.
int ProductIdOfText(std::string_view text);

struct ProductIds {
  int m = 0;
  int d = 0;  // 0 when the value holds no comma
};

// The two ids of a "DeviceInfo:" value, split at its first comma.
ProductIds ParseProductIds(std::string_view value);

}  // namespace vek
