#include "link/usb_port_path.h"

namespace vek {
namespace {

constexpr size_t kMaxNumberDigits = 3;

// One to three digits.
bool IsNumber(std::string_view text) {
  if (text.empty() || text.size() > kMaxNumberDigits) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

}  // namespace

bool IsUsbPortPath(std::string_view text) {
  if (text.size() > kMaxUsbPortPath) return false;
  const auto dash = text.find('-');
  if (dash == std::string_view::npos || !IsNumber(text.substr(0, dash))) return false;
  std::string_view ports = text.substr(dash + 1);
  for (;;) {
    const auto dot = ports.find('.');
    if (!IsNumber(ports.substr(0, dot))) return false;
    if (dot == std::string_view::npos) return true;
    ports.remove_prefix(dot + 1);
  }
}

}  // namespace vek
