// The flash programmer arrives as Intel HEX text; the boot loader wants its
// bytes. The conversion keeps the data bytes in the order the records stand in
// the text: load offsets and checksums play no part, because the programmer's
// load address is fixed by the boot-loader download.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace vek {

// Two hexadecimal digits ('0'-'9', 'A'-'F', 'a'-'f') as one byte; false for any other character.
bool HexByte(char first, char second, uint8_t& value);

// Converts the HEX text into the programmer's bytes. Every ':' starts a record;
// data records (type 00) append their bytes, extended linear address records
// (04) are decoded and otherwise ignored, other types are skipped, and an
// end-of-file record does not stop the scan. False when a data or address
// record holds a pair that is not hexadecimal, or runs past the end of the text
// (a cut-off programmer is never sent), or when overlapping records would name
// more bytes than half the text. `binary` is replaced either way.
bool ConvertHexProgrammer(std::span<const uint8_t> text, std::vector<uint8_t>& binary);

}  // namespace vek
