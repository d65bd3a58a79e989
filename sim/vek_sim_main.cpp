// vek-sim: a module simulated on pseudo-terminals, for trying VEK without hardware.
//
//   vek-sim --port-map FILE [--state firmware|bootloader|programmer] [--com-base N]
//           [--nv-silent-from ITEM] [--nv-bad-crc ITEM]
//
// Publishes its diagnostic, AT and NMEA ports in FILE and runs until SIGINT or SIGTERM.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/sim_module.h"

namespace {

// An NV item id: 0 to 65535.
bool ParseItem(const char* text, int32_t& item) {
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (*text == '\0' || *end != '\0' || value > 65535) return false;
  item = static_cast<int32_t>(value);
  return true;
}

int Usage(const char* message) {
  if (message) std::fprintf(stderr, "vek-sim: %s\n", message);
  std::fprintf(stderr,
               "usage: vek-sim --port-map FILE [--state firmware|bootloader|programmer] [--com-base N]\n"
               "               [--nv-silent-from ITEM] [--nv-bad-crc ITEM]\n"
               "  --nv-silent-from ITEM  NV requests for ITEM and above get no reply\n"
               "  --nv-bad-crc ITEM      the first read reply for ITEM has a wrong CRC\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  sim::SimModuleOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (arg == "--help" || arg == "-h") {
      Usage(nullptr);
      return 0;
    } else if (arg == "--port-map" && value) {
      options.port_map_path = value;
      ++i;
    } else if (arg == "--state" && value) {
      auto state = sim::ParseSimState(value);
      if (!state) return Usage("--state takes firmware, bootloader or programmer");
      options.state = *state;
      ++i;
    } else if (arg == "--com-base" && value) {
      char* end = nullptr;
      const unsigned long base = std::strtoul(value, &end, 10);
      if (*value == '\0' || *end != '\0' || base < 1 || base > 9999) return Usage("--com-base takes 1 to 9999");
      options.com_base = static_cast<uint32_t>(base);
      ++i;
    } else if (arg == "--nv-silent-from" && value) {
      if (!ParseItem(value, options.nv.silent_from_item)) return Usage("--nv-silent-from takes an item id");
      ++i;
    } else if (arg == "--nv-bad-crc" && value) {
      if (!ParseItem(value, options.nv.bad_crc_item)) return Usage("--nv-bad-crc takes an item id");
      ++i;
    } else {
      return Usage(("unknown or incomplete option " + arg).c_str());
    }
  }
  if (options.port_map_path.empty()) return Usage("--port-map FILE is required");

  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);  // before the module's thread starts

  sim::SimModule module(options);
  std::string error;
  if (!module.Start(&error)) {
    std::fprintf(stderr, "vek-sim: %s\n", error.c_str());
    return 1;
  }
  std::fprintf(stderr, "vek-sim: %s module on %s (%s), %s, %s; ports listed in %s\n",
               sim::SimStateName(module.state()), module.DevicePath(sim::SimPortRole::kDiagnostics).c_str(),
               module.FriendlyName(sim::SimPortRole::kDiagnostics).c_str(),
               module.FriendlyName(sim::SimPortRole::kAt).c_str(),
               module.FriendlyName(sim::SimPortRole::kNmea).c_str(), options.port_map_path.c_str());
  int received = 0;
  sigwait(&signals, &received);
  module.Stop();
  return 0;
}
