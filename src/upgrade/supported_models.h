// The nine module models VEK supports, in the Product list's order, each with
// the platform it stands for.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "records/job_records.h"
#include "records/product_list.h"

namespace vek {

struct SupportedModel {
  const char* name;
  uint32_t platform;
};

inline constexpr std::array<SupportedModel, 9> kSupportedModels = {{
    {"ZX2100", PLATFORM_6280_PBL},
    {"ZX2130", PLATFORM_6270},
    {"ZX2150", PLATFORM_6270},
    {"ZX2160", PLATFORM_6270},
    {"ZX2180", PLATFORM_6280},
    {"ZX4410", PLATFORM_6270},
    {"ZX7210", PLATFORM_60X5},
    {"ZX7410", PLATFORM_60X5},
    {"TZ4410", PLATFORM_6270},
}};

// The platform a product's position in the product list stands for; positions past 8 change nothing.
bool PlatformOfProductPosition(int position, uint32_t& platform);

// The nine names, in order.
std::vector<std::string> SupportedModelNames();

// Product matching: every model named in the identification text is listed, the
// first is selected and the platform follows the last; no match logs
// "Error: this product not be supported!!!" and disables the list.
ProductList MatchProduct(UpgradeJob& job, std::string_view identification);

// The list in a download mode: all nine names, none selected.
ProductList AllProducts();

// The position of a model name in the supported list, or -1.
int ModelPosition(std::string_view name);

}  // namespace vek
