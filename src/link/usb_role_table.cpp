#include "link/usb_role_table.h"

#include <cstdlib>

#include "link/small_file.h"

namespace vek {
namespace {

constexpr size_t kMaxRoleText = 200;
constexpr size_t kMaxRolesFileBytes = 64 * 1024;

// Ports the module family shows in its download mode: a single interface, the
// diagnostic port, which describes nothing.
const UsbRole kBuiltInRoles[] = {
    {0x1234, 0x4001, 0, "Download Diagnostics"},
};

std::optional<uint32_t> ParseNumber(std::string_view text, int base, uint32_t max) {
  if (text.empty() || text.size() > 4) return std::nullopt;
  uint32_t value = 0;
  for (char c : text) {
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (digit < 0 || digit >= base) return std::nullopt;
    value = value * static_cast<uint32_t>(base) + static_cast<uint32_t>(digit);
  }
  if (value > max) return std::nullopt;
  return value;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

std::optional<UsbRole> ParseLine(std::string_view line) {
  line = Trim(line);
  const size_t blank = line.find_first_of(" \t");
  if (blank == std::string_view::npos) return std::nullopt;
  const std::string_view triple = line.substr(0, blank);
  const size_t first = triple.find(':');
  const size_t second = first == std::string_view::npos ? first : triple.find(':', first + 1);
  if (second == std::string_view::npos) return std::nullopt;
  const auto vid = ParseNumber(triple.substr(0, first), 16, 0xFFFF);
  const auto pid = ParseNumber(triple.substr(first + 1, second - first - 1), 16, 0xFFFF);
  const auto ifnum = ParseNumber(triple.substr(second + 1), 10, 255);
  std::string role = CleanRoleText(line.substr(blank));
  if (!vid || !pid || !ifnum || role.empty()) return std::nullopt;
  return UsbRole{static_cast<uint16_t>(*vid), static_cast<uint16_t>(*pid), static_cast<int>(*ifnum), std::move(role)};
}


}  // namespace

std::string CleanRoleText(std::string_view text) {
  std::string clean;
  for (char c : text) {
    if (c < 0x20 || c > 0x7E) continue;
    if (c == '(') c = '[';
    if (c == ')') c = ']';
    clean.push_back(c);
    if (clean.size() >= 3 && clean.compare(clean.size() - 3, 3, "COM") == 0) clean.replace(clean.size() - 2, 2, "om");
  }
  std::string_view trimmed = Trim(clean);
  if (trimmed.size() > kMaxRoleText) trimmed = Trim(trimmed.substr(0, kMaxRoleText));
  return std::string(trimmed);
}

std::vector<UsbRole> ParseUsbRoles(std::string_view text) {
  std::vector<UsbRole> roles;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const std::string_view line = Trim(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    if (line.empty() || line.front() == '#') continue;
    if (auto role = ParseLine(line)) roles.push_back(std::move(*role));
  }
  return roles;
}

std::vector<std::string> UsbRoleFiles() {
  std::vector<std::string> files;
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  const char* home = std::getenv("HOME");
  if (xdg != nullptr && xdg[0] == '/') files.push_back(std::string(xdg) + "/vek/usb-roles.conf");
  else if (home != nullptr && home[0] == '/') files.push_back(std::string(home) + "/.config/vek/usb-roles.conf");
  files.push_back("/etc/vek/usb-roles.conf");
  return files;
}

UsbRoleTable UsbRoleTable::BuiltIn() {
  UsbRoleTable table;
  table.Add(std::vector<UsbRole>(std::begin(kBuiltInRoles), std::end(kBuiltInRoles)));
  return table;
}

UsbRoleTable UsbRoleTable::Load() {
  UsbRoleTable table;
  for (const std::string& file : UsbRoleFiles()) table.Add(ParseUsbRoles(ReadSmallFile(file, kMaxRolesFileBytes, TooLarge::kNothing)));
  table.Add(std::vector<UsbRole>(std::begin(kBuiltInRoles), std::end(kBuiltInRoles)));
  return table;
}

void UsbRoleTable::Add(const std::vector<UsbRole>& roles) { roles_.insert(roles_.end(), roles.begin(), roles.end()); }

std::optional<std::string> UsbRoleTable::Find(uint16_t vendor_id, uint16_t product_id, int interface_number) const {
  for (const UsbRole& role : roles_)
    if (role.vendor_id == vendor_id && role.product_id == product_id && role.interface_number == interface_number)
      return role.role;
  return std::nullopt;
}

}  // namespace vek
