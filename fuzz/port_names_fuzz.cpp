// Port names from outside: the port-map file, the USB interfaces' own
// descriptions and the role table file. Each line of the input serves as all
// of them; the friendly names built from them must carry exactly the COM
// number they were given.
#include <set>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "link/com_port_name.h"
#include "link/port_map_source.h"
#include "link/usb_port_naming.h"
#include "link/usb_role_table.h"

namespace {

void CheckCleanRole(std::string_view text) {
  const std::string clean = vek::CleanRoleText(text);
  VEK_FUZZ_REQUIRE(clean.size() <= 200);
  VEK_FUZZ_REQUIRE(clean.find("COM") == std::string::npos);
  for (const char c : clean) VEK_FUZZ_REQUIRE(c >= 0x20 && c <= 0x7E && c != '(' && c != ')');
  VEK_FUZZ_REQUIRE(clean.empty() || (clean.front() != ' ' && clean.back() != ' '));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  size_t seen = 0;

  if (const auto number = vek::ComNumberOfName(text)) {
    VEK_FUZZ_REQUIRE(*number > 0 && *number <= 999999999u);
    seen += *number;
  }
  const std::vector<vek::PortEntry> entries = vek::ParsePortMap(text);
  for (const vek::PortEntry& entry : entries) {
    VEK_FUZZ_REQUIRE(!entry.device_path.empty() && entry.device_path.front() == '/');
    VEK_FUZZ_REQUIRE(!entry.friendly_name.empty());
    seen += vek::ComNumberOfName(entry.friendly_name).value_or(0);
  }

  CheckCleanRole(text);
  vek::UsbRoleTable roles = vek::UsbRoleTable::BuiltIn();
  roles.Add(vek::ParseUsbRoles(text));

  // Every line as a USB tty: its text the interface's description and its path.
  std::vector<vek::UsbTty> ttys;
  std::string_view rest = text;
  while (!rest.empty() && ttys.size() < 64) {
    const size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
    CheckCleanRole(line);
    vek::UsbTty tty;
    tty.device_path = "/dev/ttyUSB" + std::to_string(ttys.size());
    tty.tty_name = std::string(line.substr(0, 16));
    tty.port_path = std::string(line.substr(0, 8));
    tty.interface_number = line.empty() ? 0 : static_cast<unsigned char>(line[0]);
    tty.vendor_id = 0x1234;
    tty.product_id = 0x4001;
    tty.interface_text = std::string(line);
    ttys.push_back(std::move(tty));
  }
  const size_t count = ttys.size();
  const std::vector<vek::PortEntry> named = vek::NameUsbPorts(std::move(ttys), roles);
  VEK_FUZZ_REQUIRE(named.size() == count);
  std::set<uint32_t> numbers;
  for (const vek::PortEntry& entry : named) {
    const auto number = vek::ComNumberOfName(entry.friendly_name);
    VEK_FUZZ_REQUIRE(number && *number >= vek::kFirstUsbComNumber && *number <= vek::kLastUsbComNumber);
    VEK_FUZZ_REQUIRE(numbers.insert(*number).second);
    // The number the name carries is the last thing in it.
    VEK_FUZZ_REQUIRE(entry.friendly_name.size() > 2 &&
                     entry.friendly_name.compare(entry.friendly_name.size() - 1, 1, ")") == 0);
  }
  vek::fuzz::Keep(seen);
  return 0;
}
