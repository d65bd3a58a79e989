#include "upgrade/supported_models.h"

namespace vek {

ProductList MatchProduct(UpgradeJob& job, std::string_view identification) {
  ProductList list;
  for (size_t position = 0; position < kSupportedModels.size(); ++position) {
    if (identification.find(kSupportedModels[position].name) == std::string_view::npos) continue;
    list.names.emplace_back(kSupportedModels[position].name);
    job.platform = kSupportedModels[position].platform;
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
  list.names = SupportedModelNames();
  return list;
}

std::vector<std::string> SupportedModelNames() {
  std::vector<std::string> names;
  for (const SupportedModel& model : kSupportedModels) names.emplace_back(model.name);
  return names;
}

bool PlatformOfProductPosition(int position, uint32_t& platform) {
  if (position < 0 || static_cast<size_t>(position) >= kSupportedModels.size()) return false;
  platform = kSupportedModels[static_cast<size_t>(position)].platform;
  return true;
}

int ModelPosition(std::string_view name) {
  for (size_t position = 0; position < kSupportedModels.size(); ++position)
    if (name == kSupportedModels[position].name) return static_cast<int>(position);
  return -1;
}

}  // namespace vek
