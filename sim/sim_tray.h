// A tray of simulated modules in one process: every module's ports in one
// port-map file, each module with its own USB path, COM numbers, identity and
// NV contents, derived from the first module's.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/sim_faults.h"
#include "sim/sim_module.h"

namespace sim {

inline constexpr size_t kMaxTrayModules = 32;
inline constexpr uint32_t kTrayComStep = 10;  // module i's COM numbers are the first's + 10 * i

// The IMEI of module `index`: the six serial digits after the eight-digit type
// code count up by `index` (modulo a million) and the check digit is computed
// again. Empty when `imei` is not fifteen digits.
std::string TrayImei(const std::string& imei, size_t index);
// Item 550's data for a fifteen-digit IMEI: 8 BCD bytes, the identity type 0xA first.
std::vector<uint8_t> ImeiItem(const std::string& imei);
// The USB path of module `index`: the last port number of `first` counts up.
std::string TrayUsbPath(const std::string& first, size_t index);

// The 0-based index of module "M" (its number, 1 to `count`, as in its name).
std::optional<size_t> ParseModuleNumber(const std::string& text, size_t count);

// A fault rule for one module of a tray, or for every module.
struct TargetedFault {
  std::optional<size_t> module;  // 0-based; none: every module
  FaultRule rule;
};
// "[M@]STATE:CODE:KIND[:VALUE[:TIMES]]": without "M@" the rule is every module's,
// with it module M's alone (1 to `count`).
std::optional<TargetedFault> ParseTargetedFault(const std::string& text, size_t count);

// The options of `count` modules (1 to 32) made from the first's: module i
// (0-based) is plugged into the next port (TrayUsbPath, "1-1" for the first
// when none is given), has every COM number moved up by 10 * i, the IMEI
// TrayImei (and item 550 holding it), an MEID whose value is i higher, NV seed
// + i and the name "<name> <i + 1>". One module keeps `first` exactly as it is.
// Fails, saying why, when the modules cannot be told apart (an IMEI that is not
// fifteen digits, an MEID that is not hex, COM numbers that meet or exceed 9999).
std::optional<std::vector<SimModuleOptions>> TrayModuleOptions(const SimModuleOptions& first, size_t count,
                                                               std::string* error);

// The modules of a tray, publishing in the port-map file of the first.
class SimTray {
 public:
  explicit SimTray(std::vector<SimModuleOptions> modules);
  ~SimTray();
  SimTray(const SimTray&) = delete;
  SimTray& operator=(const SimTray&) = delete;

  // Starts every module; when one fails the others stop again.
  bool Start(std::string* error = nullptr);
  void Stop();
  size_t size() const { return modules_.size(); }
  SimModule& module(size_t index) { return *modules_.at(index); }

 private:
  std::vector<std::unique_ptr<SimModule>> modules_;
};

}  // namespace sim
