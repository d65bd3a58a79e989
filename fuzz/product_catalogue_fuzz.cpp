// The product catalogue "vek.cfg" lies in the working folder beside the
// images: any bytes. It is read, then used to choose the image subfolder for a
// module whose ids name each product in turn, and for one without ids.
#include <sys/stat.h>

#include <cstring>
#include <filesystem>

#include "fuzz_support.h"
#include "images/product_catalogue.h"

namespace {

// An image folder with a few subfolders that short catalogue fields can name.
const std::string& ImageFolder() {
  // Never destroyed: the exit handler below still needs it.
  static const std::string& folder = *new std::string([] {
    const char* dir = std::getenv("TMPDIR");
    std::string name = std::string(dir != nullptr && dir[0] == '/' ? dir : "/tmp") + "/vek-fuzz-images-XXXXXX";
    VEK_FUZZ_REQUIRE(mkdtemp(name.data()) != nullptr);
    for (const char* sub : {"a", "A1", "hy", "std"}) mkdir((name + "/" + sub).c_str(), 0755);
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(ImageFolder(), ignored);
    });
    return name;
  }());
  return folder;
}

// The folder stays the image folder or one subfolder directly below it ("" and
// "." name the image folder itself).
void CheckChosenFolder(const std::string& base, const std::string& chosen) {
  if (chosen == base) return;
  VEK_FUZZ_REQUIRE(chosen.compare(0, base.size() + 1, base + "/") == 0);
  const std::string sub = chosen.substr(base.size() + 1);
  VEK_FUZZ_REQUIRE(sub.size() <= vek::kProductTextLength);
  VEK_FUZZ_REQUIRE(sub.find('/') == std::string::npos && sub != "..");
}

void CheckRecord(const vek::ProductRecord& record) {
  VEK_FUZZ_REQUIRE(std::memchr(record.name, '\0', sizeof record.name) != nullptr);
  VEK_FUZZ_REQUIRE(std::memchr(record.folder, '\0', sizeof record.folder) != nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vek::UpgradeJob& job = vek::TheJob();
  vek::DeviceInfo& device = vek::TheDevice();
  static const bool ready = [&job] {
    vek::fuzz::InstallQuietCallbacks(job);
    return true;
  }();
  vek::fuzz::Keep(ready);
  const std::string& base = ImageFolder();

  VEK_FUZZ_REQUIRE(vek::LoadProductCatalogue(vek::fuzz::WriteScratchFile(data, size)));
  const vek::ProductCatalogue catalogue = vek::TheProductCatalogue();
  VEK_FUZZ_REQUIRE(catalogue.count >= 0 && catalogue.count <= vek::MAX_PRODUCTS);

  job.platform = vek::PLATFORM_6280;  // a platform whose images sit in product subfolders
  for (int r = 0; r < catalogue.count; ++r) {
    const vek::ProductRecord& record = catalogue.records[r];
    CheckRecord(record);
    job.image_path.Set(base);
    device.product_m = static_cast<int32_t>(record.m_ids[r % vek::kMaxIdPairs]);
    device.product_d = static_cast<int32_t>(record.d_ids[r % vek::kMaxIdPairs]);
    device.ids_valid = 1;
    VEK_FUZZ_REQUIRE(vek::ChooseProductFolder(job));
    CheckChosenFolder(base, job.image_path.Get());
  }
  // A module without ids: the first record, or the second for an "_HY" version.
  for (const char* version : {"ZX2180_V1", "ZX2180_HY_V1"}) {
    job.image_path.Set(base);
    device.ids_valid = 0;
    device.product_m = 0;
    device.product_d = 0;
    device.sw_version.Set(version);
    VEK_FUZZ_REQUIRE(vek::ChooseProductFolder(job));
    CheckChosenFolder(base, job.image_path.Get());
  }
  return 0;
}
