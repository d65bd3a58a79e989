// The nine module models VEK supports; a model's position in the list decides
// the job's platform.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "upgrade/job_records.h"

namespace vek {

inline constexpr std::array<const char*, 9> kSupportedModels = {
    "ZX2100", "ZX2130", "ZX2150", "ZX2160", "ZX2180", "ZX4410", "ZX7210", "ZX7410", "TZ4410"};

// What the Product list shows after product matching.
struct ProductList {
  std::vector<std::string> names;
  int selected = -1;    // -1: nothing selected
  bool enabled = true;  // disabled when no model matched
};

// Product matching: every model named in the identification text is listed, the
// first is selected and the platform follows the last; no match logs
// "Error: this product not be supported!!!" and disables the list.
ProductList MatchProduct(UpgradeJob& job, std::string_view identification);

// The list in a download mode: all nine names, none selected.
ProductList AllProducts();

// The position of a model name in the supported list, or -1.
int ModelPosition(std::string_view name);

}  // namespace vek
