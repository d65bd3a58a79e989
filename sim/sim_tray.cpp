#include "sim/sim_tray.h"

#include <cctype>
#include <charconv>
#include <cstdio>
#include <set>

#include "sim/port_map_board.h"
#include "sim/port_map_file.h"

namespace sim {
namespace {

constexpr size_t kImeiDigits = 15;
constexpr size_t kSerialStart = 8;  // after the type allocation code
constexpr uint32_t kSerialModulus = 1000000;
constexpr uint32_t kMaxCom = 9999;

bool AllDigits(const std::string& text) {
  for (unsigned char c : text)
    if (!std::isdigit(c)) return false;
  return true;
}

// The check digit that makes the fourteen digits before it pass the Luhn sum.
char LuhnDigit(const std::string& digits) {
  int sum = 0;
  for (size_t i = 0; i < digits.size(); ++i) {
    int d = digits[i] - '0';
    if (i % 2 == 1) d = d * 2 > 9 ? d * 2 - 9 : d * 2;
    sum += d;
  }
  return static_cast<char>('0' + (10 - sum % 10) % 10);
}

// The hex MEID `index` higher, as wide and in the same case; empty when not hex.
std::string TrayMeid(const std::string& meid, size_t index) {
  if (meid.empty() || meid.size() > 15) return {};
  uint64_t value = 0;
  const auto [end, failure] = std::from_chars(meid.data(), meid.data() + meid.size(), value, 16);
  if (failure != std::errc() || end != meid.data() + meid.size()) return {};
  const bool upper = meid.find_first_of("ABCDEF") != std::string::npos;
  char text[32];
  std::snprintf(text, sizeof text, upper ? "%0*llX" : "%0*llx", static_cast<int>(meid.size()),
                static_cast<unsigned long long>(value + index));
  return std::string(text).substr(std::string(text).size() - meid.size());  // wraps within its width
}

// Every COM number the module can show in its life: firmware, download and
// after-download ports. Zero when one is beyond the last COM number.
std::set<uint32_t> ComNumbers(const SimModuleOptions& options) {
  std::set<uint32_t> numbers;
  for (uint32_t first : {options.com_base, options.usb.firmware_com_after_download})
    if (first != 0)
      for (uint32_t n = first; n < first + 3; ++n) numbers.insert(n);
  if (options.usb.download_com != 0) numbers.insert(options.usb.download_com);
  return numbers;
}

bool Fail(std::string* error, std::string text) {
  if (error) *error = std::move(text);
  return false;
}

bool DeriveModule(const SimModuleOptions& first, size_t index, SimModuleOptions& module, std::string* error) {
  const uint32_t shift = kTrayComStep * static_cast<uint32_t>(index);
  module.name = first.name + " " + std::to_string(index + 1);
  module.usb.path = TrayUsbPath(first.usb.path.empty() ? "1-1" : first.usb.path, index);
  if (module.usb.path.empty()) return Fail(error, "no USB path follows " + first.usb.path);
  module.com_base = first.com_base + shift;
  if (first.usb.download_com != 0) module.usb.download_com = first.usb.download_com + shift;
  if (first.usb.firmware_com_after_download != 0)
    module.usb.firmware_com_after_download = first.usb.firmware_com_after_download + shift;
  for (uint32_t n : {module.com_base, module.usb.download_com, module.usb.firmware_com_after_download})
    if (n > kMaxCom) return Fail(error, "module " + std::to_string(index + 1) + " would need COM" + std::to_string(n));
  module.at.imei = TrayImei(first.at.imei, index);
  if (module.at.imei.empty()) return Fail(error, "the IMEI " + first.at.imei + " is not fifteen digits");
  module.nv.imei_item = ImeiItem(module.at.imei);
  if (!first.at.meid.empty()) {
    module.at.meid = TrayMeid(first.at.meid, index);
    if (module.at.meid.empty()) return Fail(error, "the MEID " + first.at.meid + " is not a hex number");
  }
  if (!module.nv.meid_item.empty() && module.nv.meid_item[0] != 0)
    module.nv.meid_item[0] = static_cast<uint8_t>(module.nv.meid_item[0] + index);
  module.nv.seed = first.nv.seed + static_cast<uint32_t>(index);
  return true;
}

}  // namespace

std::optional<size_t> ParseModuleNumber(const std::string& text, size_t count) {
  size_t number = 0;
  const auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (text.empty() || failure != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (number < 1 || number > count) return std::nullopt;
  return number - 1;
}

std::optional<TargetedFault> ParseTargetedFault(const std::string& text, size_t count) {
  const size_t at = text.find('@');
  TargetedFault fault{};
  if (at != std::string::npos) {
    fault.module = ParseModuleNumber(text.substr(0, at), count);
    if (!fault.module) return std::nullopt;
  }
  const auto rule = ParseFaultRule(at == std::string::npos ? text : text.substr(at + 1));
  if (!rule) return std::nullopt;
  fault.rule = *rule;
  return fault;
}

std::string TrayImei(const std::string& imei, size_t index) {
  if (imei.size() != kImeiDigits || !AllDigits(imei)) return {};
  if (index == 0) return imei;
  const uint32_t serial = static_cast<uint32_t>(std::stoul(imei.substr(kSerialStart, 6)));
  char digits[8];
  std::snprintf(digits, sizeof digits, "%06u", static_cast<unsigned>((serial + index) % kSerialModulus));
  const std::string body = imei.substr(0, kSerialStart) + digits;
  return body + LuhnDigit(body);
}

std::vector<uint8_t> ImeiItem(const std::string& imei) {
  if (imei.size() != kImeiDigits || !AllDigits(imei)) return {};
  auto digit = [&imei](size_t i) { return static_cast<uint8_t>(imei[i] - '0'); };
  std::vector<uint8_t> item = {8, static_cast<uint8_t>(0x0A | digit(0) << 4)};
  for (size_t i = 1; i < kImeiDigits; i += 2) item.push_back(static_cast<uint8_t>(digit(i) | digit(i + 1) << 4));
  return item;
}

std::string TrayUsbPath(const std::string& first, size_t index) {
  if (!ValidUsbPath(first)) return {};
  const size_t last = first.find_last_of("-.") + 1;
  uint64_t port = 0;
  const auto [end, failure] = std::from_chars(first.data() + last, first.data() + first.size(), port);
  if (failure != std::errc() || port > 1000000) return {};
  const std::string path = first.substr(0, last) + std::to_string(port + index);
  return ValidUsbPath(path) ? path : std::string();
}

std::optional<std::vector<SimModuleOptions>> TrayModuleOptions(const SimModuleOptions& first, size_t count,
                                                               std::string* error) {
  if (count < 1 || count > kMaxTrayModules) {
    Fail(error, "from 1 to " + std::to_string(kMaxTrayModules) + " modules");
    return std::nullopt;
  }
  std::vector<SimModuleOptions> modules(count, first);
  if (count == 1) return modules;
  std::set<uint32_t> taken;
  for (size_t i = 0; i < count; ++i) {
    if (!DeriveModule(first, i, modules[i], error)) return std::nullopt;
    for (uint32_t n : ComNumbers(modules[i])) {
      if (!taken.insert(n).second) {
        Fail(error, "COM" + std::to_string(n) + " would belong to two modules (each module's numbers are " +
                        std::to_string(kTrayComStep) + " above the one before)");
        return std::nullopt;
      }
    }
  }
  return modules;
}

SimTray::SimTray(std::vector<SimModuleOptions> modules) {
  auto board = std::make_shared<PortMapBoard>(modules.empty() ? std::string() : modules.front().port_map_path);
  for (size_t i = 0; i < modules.size(); ++i)
    modules_.push_back(std::make_unique<SimModule>(std::move(modules[i]), board, i));
}

SimTray::~SimTray() { Stop(); }

bool SimTray::Start(std::string* error) {
  for (auto& module : modules_) {
    if (module->Start(error)) continue;
    Stop();
    return false;
  }
  return true;
}

void SimTray::Stop() {
  for (auto& module : modules_) module->Stop();
}

}  // namespace sim
