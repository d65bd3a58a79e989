// vek-sim: a module simulated on pseudo-terminals, for trying VEK without hardware.
//
// Publishes its diagnostic, AT and NMEA ports in the port-map file and runs until
// SIGINT or SIGTERM. `vek-sim --help` lists the options.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>

#include "sim/sim_module.h"

namespace {

// An identity text goes into one reply line: printable, not too long.
std::string CheckIdentityText(const std::string& text) {
  if (text.size() > 100) return "at most 100 characters";
  for (unsigned char c : text)
    if (c < 0x20 || c == 0x7F) return "printable characters only";
  return {};
}

void AddAtOptions(CLI::App& app, sim::AtOptions& at) {
  const auto identity = CLI::Validator(CheckIdentityText, "TEXT");
  app.add_option("--model", at.model, "model name in the ATI reply")->check(identity);
  app.add_option("--revision", at.revision, "software version before a download")->check(identity);
  app.add_option("--revision-after-download", at.revision_after_download, "software version after a download")
      ->check(identity);
  app.add_option("--imei", at.imei, "IMEI in the ATI reply")->check(identity);
  app.add_option("--meid", at.meid, "MEID reported instead of the IMEI")->check(identity);
  app.add_option("--device-info", at.device_info, "text after \"DeviceInfo: \" (empty: no such line)")
      ->check(identity);
  app.add_flag("--at-silent", at.silent, "fault: the AT and NMEA ports answer nothing");
  app.add_flag("--at-busy", at.at_port_busy, "fault: the AT port is held exclusively");
}

void AddNvOptions(CLI::App& app, sim::NvOptions& nv) {
  app.add_option("--nv-silent-from", nv.silent_from_item, "NV requests for ITEM and above get no reply")
      ->check(CLI::Range(0, 65535));
  app.add_option("--nv-bad-crc", nv.bad_crc_item, "the first read reply for ITEM has a wrong CRC")
      ->check(CLI::Range(0, 65535));
}

}  // namespace

int main(int argc, char** argv) {
  sim::SimModuleOptions options;
  CLI::App app{"vek-sim: a module simulated on pseudo-terminals"};
  std::string state = "firmware";
  app.add_option("--port-map", options.port_map_path, "file that lists the ports (DEVICE_PATH<TAB>FRIENDLY NAME)")
      ->required();
  app.add_option("--state", state, "program the module runs at start")
      ->check(CLI::IsMember({"firmware", "bootloader", "programmer"}));
  app.add_option("--com-base", options.com_base, "diagnostic port COM<N>, AT COM<N+1>, NMEA COM<N+2>")
      ->check(CLI::Range(1, 9999));
  AddAtOptions(app, options.at);
  AddNvOptions(app, options.nv);
  CLI11_PARSE(app, argc, argv);
  options.state = *sim::ParseSimState(state.c_str());

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
