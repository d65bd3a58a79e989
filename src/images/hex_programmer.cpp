#include "images/hex_programmer.h"

#include <new>

namespace vek {
namespace {

constexpr char kRecordMark = ':';

// Character offsets within a record, counted from its ':'.
constexpr size_t kByteCountAt = 1;
constexpr size_t kTypeAt = 7;
constexpr size_t kDataAt = 9;

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The scan over the text; every read is checked against its end.
class HexScan {
 public:
  explicit HexScan(std::span<const uint8_t> text) : text_(text) {}

  bool Has(size_t at, size_t count) const { return at <= text_.size() && count <= text_.size() - at; }
  char At(size_t at) const { return static_cast<char>(text_[at]); }
  bool ByteAt(size_t at, uint8_t& value) const { return Has(at, 2) && HexByte(At(at), At(at + 1), value); }

  // One record starting at `p`; false when it makes the conversion fail.
  bool Record(size_t p, std::vector<uint8_t>& out) const {
    if (!Has(p + kTypeAt, 2)) return false;  // cut off before its type: nothing can be trusted
    const char type_high = At(p + kTypeAt);
    const char type_low = At(p + kTypeAt + 1);
    if (type_high != '0') return true;
    if (type_low == '4') {
      // The upper address bits: checked, then ignored.
      uint8_t high, low;
      return ByteAt(p + kDataAt, high) && ByteAt(p + kDataAt + 2, low);
    }
    if (type_low != '0') return true;
    uint8_t count;
    if (!ByteAt(p + kByteCountAt, count)) return false;
    if (!Has(p + kDataAt, 2 * size_t{count})) return false;
    // Records can only overlap in hostile text (a ':' inside another record's
    // offset field); such text never grows the image past its one buffer.
    if (count > out.capacity() - out.size()) return false;
    for (size_t k = 0; k < count; ++k) {
      uint8_t value;
      if (!ByteAt(p + kDataAt + 2 * k, value)) return false;
      out.push_back(value);
    }
    return true;
  }

 private:
  std::span<const uint8_t> text_;
};

}  // namespace

bool HexByte(char first, char second, uint8_t& value) {
  const int high = DigitValue(first);
  const int low = DigitValue(second);
  if (high < 0 || low < 0) return false;
  value = static_cast<uint8_t>(16 * high + low);
  return true;
}

bool ConvertHexProgrammer(std::span<const uint8_t> text, std::vector<uint8_t>& binary) {
  std::vector<uint8_t> out;
  try {
    // Every data byte takes two characters, so the image never outgrows half the text.
    out.reserve(text.size() / 2);
  } catch (const std::bad_alloc&) {
    binary.clear();
    return false;
  }
  const HexScan scan(text);
  for (size_t p = 0; p < text.size(); ++p) {
    if (text[p] != kRecordMark) continue;
    if (!scan.Record(p, out)) {
      binary.clear();
      return false;
    }
  }
  binary = std::move(out);
  return true;
}

}  // namespace vek
