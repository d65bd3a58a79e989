// vek-sim: a module simulated on pseudo-terminals, for trying VEK without hardware.
//
//   vek-sim --port-map FILE [--state firmware|bootloader|programmer] [--com-base N] [options]
//
// Publishes its diagnostic, AT and NMEA ports in FILE and runs until SIGINT or
// SIGTERM; then lists what the module's flash holds on standard error.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "link/crc16.h"
#include "sim/sim_module.h"

namespace {

int Usage(const char* message) {
  if (message) std::fprintf(stderr, "vek-sim: %s\n", message);
  std::fprintf(stderr,
               "usage: vek-sim --port-map FILE [--state firmware|bootloader|programmer] [--com-base N]\n"
               "  --fault STATE:CODE:KIND[:VALUE[:TIMES]]  misbehave on a request (repeatable); CODE in hex,\n"
               "        KIND silence|refuse|late|split|corrupt-crc, VALUE ms (refuse: the reply byte in hex)\n"
               "  --version TEXT           the firmware's version text\n"
               "  --interface-type TEXT    the firmware's interface-type text\n"
               "  --spc CODE               the six-digit code that unlocks NV access\n"
               "  --flash-name TEXT        the flash name in the programmer's hello reply\n"
               "  --partition-mismatch     the flash holds another partition table\n"
               "  --programmer-start same|reenumerate   how the programmer comes up after go\n"
               "  --reenumerate-delay MS   how long the diagnostic port is away after go\n"
               "  --reboot-delay MS        how long every port is away after a reset\n");
  return 2;
}

bool ParseMs(const char* text, uint32_t& ms) {
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (*text == '\0' || *text == '-' || *end != '\0' || value > 600000) return false;
  ms = static_cast<uint32_t>(value);
  return true;
}

void PrintFlash(sim::SimModule& module) {
  auto& device = module.device();
  std::lock_guard lock(device.mutex);
  std::fprintf(stderr, "vek-sim: programmer in RAM: %zu bytes at 0x%08X\n", device.ram.size(), device.ram_base);
  for (const auto& [type, image] : device.flash) {
    const uint16_t crc = vek::Crc16(image.data.data(), static_cast<int>(image.data.size() * 8));
    std::fprintf(stderr, "vek-sim: flash image %u: header %zu bytes, data %zu bytes, crc %04X%s\n", type,
                 image.header.size(), image.data.size(), crc, image.closed ? "" : " (not closed)");
  }
  std::fprintf(stderr, "vek-sim: EFS erased %d times\n", device.efs_erasures);
}

}  // namespace

int main(int argc, char** argv) {
  sim::SimModuleOptions options;
  std::vector<sim::FaultRule> faults;
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
    } else if (arg == "--fault" && value) {
      auto rule = sim::ParseFaultRule(value);
      if (!rule) return Usage("--fault takes STATE:CODE:KIND[:VALUE[:TIMES]]");
      faults.push_back(*rule);
      ++i;
    } else if (arg == "--version" && value) {
      options.firmware.version = value;
      ++i;
    } else if (arg == "--interface-type" && value) {
      options.firmware.interface_type = value;
      ++i;
    } else if (arg == "--spc" && value) {
      if (std::strlen(value) != 6 || std::strspn(value, "0123456789") != 6) return Usage("--spc takes six digits");
      options.firmware.service_code = value;
      ++i;
    } else if (arg == "--flash-name" && value) {
      options.programmer.flash_name = value;
      ++i;
    } else if (arg == "--partition-mismatch") {
      options.programmer.partition_mismatch = true;
    } else if (arg == "--programmer-start" && value) {
      const std::string how = value;
      if (how == "same") options.bootloader.programmer_start = sim::ProgrammerStart::kSamePort;
      else if (how == "reenumerate") options.bootloader.programmer_start = sim::ProgrammerStart::kReenumeratePort;
      else return Usage("--programmer-start takes same or reenumerate");
      ++i;
    } else if (arg == "--reenumerate-delay" && value) {
      if (!ParseMs(value, options.bootloader.reenumerate_delay_ms)) return Usage("--reenumerate-delay takes 0 to 600000");
      ++i;
    } else if (arg == "--reboot-delay" && value) {
      uint32_t ms = 0;
      if (!ParseMs(value, ms)) return Usage("--reboot-delay takes 0 to 600000");
      options.firmware.reboot_delay_ms = options.programmer.reboot_delay_ms = ms;
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
  for (const auto& rule : faults) module.faults().Add(rule);
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
  PrintFlash(module);
  return 0;
}
