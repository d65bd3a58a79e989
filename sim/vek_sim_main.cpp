// vek-sim: a module simulated on pseudo-terminals, for trying VEK without hardware.
//
//   vek-sim --port-map FILE [--state firmware|bootloader|programmer] [--com-base N]
//           [--model TEXT] [--revision TEXT] [--revision-after-download TEXT]
//           [--imei TEXT | --meid TEXT] [--device-info M,D | --device-info ""]
//           [--at-silent] [--at-busy]
//
// Publishes its diagnostic, AT and NMEA ports in FILE and runs until SIGINT or SIGTERM.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/sim_module.h"

namespace {

int Usage(const char* message) {
  if (message) std::fprintf(stderr, "vek-sim: %s\n", message);
  std::fprintf(stderr,
               "usage: vek-sim --port-map FILE [--state firmware|bootloader|programmer] [--com-base N]\n"
               "               [--model TEXT] [--revision TEXT] [--revision-after-download TEXT]\n"
               "               [--imei TEXT | --meid TEXT] [--device-info M,D] [--at-silent] [--at-busy]\n");
  return 2;
}

// An identity text goes into one reply line: printable, not too long.
bool IdentityText(const char* value, std::string& field) {
  const std::string text = value;
  if (text.size() > 100) return false;
  for (unsigned char c : text)
    if (c < 0x20 || c == 0x7F) return false;
  field = text;
  return true;
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
    } else if (arg == "--at-silent") {
      options.at.silent = true;
    } else if (arg == "--at-busy") {
      options.at.at_port_busy = true;
    } else if ((arg == "--model" || arg == "--revision" || arg == "--revision-after-download" || arg == "--imei" ||
                arg == "--meid" || arg == "--device-info") && value) {
      std::string* field = arg == "--model"      ? &options.at.model
                           : arg == "--revision" ? &options.at.revision
                           : arg == "--imei"     ? &options.at.imei
                           : arg == "--meid"     ? &options.at.meid
                           : arg == "--device-info" ? &options.at.device_info
                                                    : &options.at.revision_after_download;
      if (!IdentityText(value, *field)) return Usage((arg + " takes printable text of at most 100 characters").c_str());
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
