#include "upgrade/supported_models.h"

namespace vek {

ProductList MatchProduct(UpgradeJob& job, std::string_view identification) {
  ProductList list;
  for (size_t position = 0; position < kSupportedModels.size(); ++position) {
    if (identification.find(kSupportedModels[position]) == std::string_view::npos) continue;
    list.names.emplace_back(kSupportedModels[position]);
    uint32_t platform = PLATFORM_NONE;
    if (PlatformOfProductPosition(static_cast<int>(position), platform)) job.platform = platform;
    list.selected = 0;
  }
  if (list.names.empty()) {
    job.write_log("Error: this product not be supported!!!");
    list.enabled = false;
  }
  return list;
}

ProductList AllProducts() {
  ProductList list;
  for (const char* name : kSupportedModels) list.names.emplace_back(name);
  return list;
}

int ModelPosition(std::string_view name) {
  for (size_t position = 0; position < kSupportedModels.size(); ++position)
    if (name == kSupportedModels[position]) return static_cast<int>(position);
  return -1;
}

}  // namespace vek
