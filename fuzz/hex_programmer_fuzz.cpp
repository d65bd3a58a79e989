// The flash programmer's HEX text comes from the image folder: any bytes at all.
#include <vector>

#include "fuzz_support.h"
#include "images/hex_programmer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> binary = {0xAA, 0xBB};  // stale content that must be replaced
  const bool converted = vek::ConvertHexProgrammer({data, size}, binary);
  // Two characters per data byte: the image never outgrows half the text.
  VEK_FUZZ_REQUIRE(binary.size() <= size / 2);
  // A failed conversion leaves nothing that could be sent to the boot loader.
  if (!converted) VEK_FUZZ_REQUIRE(binary.empty());
  vek::fuzz::Keep(binary);
  return 0;
}
