// What the Product list shows: the models product matching found, or all of them
// in a download mode, where the operator names the product.
#pragma once

#include <string>
#include <vector>

namespace vek {

struct ProductList {
  std::vector<std::string> names;
  int selected = -1;    // -1: nothing selected
  bool enabled = true;  // disabled when no model matched
};

}  // namespace vek
