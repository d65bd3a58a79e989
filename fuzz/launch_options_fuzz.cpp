// "config.ini" in the working folder: any bytes. The four options are read,
// cut to their field, and turned into numbers.
#include "app/launch_options.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const vek::LaunchOptions options = vek::ReadLaunchOptions(vek::fuzz::WriteScratchFile(data, size));
  int64_t sum = 0;
  for (const std::string* value : {&options.backup, &options.restore, &options.download, &options.erase_efs}) {
    VEK_FUZZ_REQUIRE(value->size() <= vek::kLaunchOptionMaxLength);
    sum += vek::DecimalValue(*value);
  }
  // The text itself as a value: any digits, signs and blanks.
  sum += vek::DecimalValue(std::string_view(reinterpret_cast<const char*>(data), size));
  vek::fuzz::Keep(sum);
  return 0;
}
