// The identity replies of the module's AT port ("ATI" and the maker's command):
// the reply buffer as the exchange fills it, then the steps that read the
// manufacturer, revision, IMEI or MEID and product ids out of it.
#include <algorithm>
#include <cstring>

#include "at/at_exchange.h"
#include "at/at_reply.h"
#include "at/device_identity.h"
#include "fuzz_support.h"
#include "upgrade/supported_models.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = [] {
    vek::fuzz::InstallQuietCallbacks(vek::TheJob());
    return true;
  }();
  vek::fuzz::Keep(ready);

  // Zero-filled and one byte longer than a read, as the exchange leaves it.
  char reply[vek::kAtReplyBufferSize] = {};
  std::memcpy(reply, data, std::min(size, sizeof reply - 1));
  const std::string_view text = vek::ReplyText(reply, sizeof reply);
  VEK_FUZZ_REQUIRE(text.size() < sizeof reply);

  vek::DeviceInfo& device = vek::TheDevice();
  // Whether the reply ended: any bytes, NULs among them, up to the whole read.
  size_t seen = vek::ReplyFinished(std::string_view(reply, std::min(size, sizeof reply - 1))) ? 1 : 0;
  for (const char* key : {vek::kKeyRevision, vek::kKeyImei, vek::kKeyMeid, vek::kKeyDeviceInfo}) {
    const std::string value = vek::ReplyValue(text, key);
    VEK_FUZZ_REQUIRE(value.size() <= vek::kAtValueMaxLength);
    if (!vek::ReplyHas(text, key)) VEK_FUZZ_REQUIRE(value.empty());
    seen += value.size();
  }
  if (vek::ReplyHas(text, vek::kKeyManufacturer)) {
    const std::string revision = vek::ReplyValue(text, vek::kKeyRevision);
    device.sw_version.Set(revision);
    const vek::ProductList list = vek::MatchProduct(vek::TheJob(), revision);
    VEK_FUZZ_REQUIRE(list.names.size() <= vek::kSupportedModels.size());
    VEK_FUZZ_REQUIRE(list.enabled == !list.names.empty());
    VEK_FUZZ_REQUIRE(list.selected < static_cast<int>(list.names.size()));
    device.imei.Set(vek::ReplyValue(text, vek::kKeyImei));
    VEK_FUZZ_REQUIRE(device.imei.Get().size() <= 19);
    const vek::ProductIds ids = vek::ParseProductIds(vek::ReplyValue(text, vek::kKeyDeviceInfo));
    // Nine characters at most: never beyond nine decimal digits.
    VEK_FUZZ_REQUIRE(ids.m > -1000000000 && ids.m < 1000000000);
    VEK_FUZZ_REQUIRE(ids.d > -1000000000 && ids.d < 1000000000);
    seen += static_cast<size_t>(ids.m ^ ids.d);
  }
  vek::fuzz::Keep(seen);
  return 0;
}
