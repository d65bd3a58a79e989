// vek-sim: a module simulated on pseudo-terminals, for trying VEK without hardware.
//
// Publishes its diagnostic, AT and NMEA ports in the port-map file and runs until
// SIGINT or SIGTERM. SIGUSR1 pulls the USB cable (every port vanishes), SIGUSR2
// plugs it back. `vek-sim --help` lists the options.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "link/crc16.h"
#include "sim/port_map_file.h"
#include "sim/sim_dump.h"
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
  app.add_flag_callback("--nv-write-refused", [&nv] { nv.write_refusal = 0x42; },
                        "fault: every NV write is refused with 0x42, as by a locked module");
  app.add_flag("--nv-reset-by-download", nv.reset_by_download,
               "a completed download puts every NV item but the IMEI and MEID back to its defaults");
}

void AddProgramOptions(CLI::App& app, sim::SimModuleOptions& options, std::vector<std::string>& faults,
                       std::string& programmer_start, uint32_t& reboot_delay_ms) {
  app.add_option("--fault", faults,
                 "misbehave on a request: STATE:CODE:KIND[:VALUE[:TIMES]]; CODE in hex, KIND "
                 "silence|refuse|late|split|corrupt-crc|pull, VALUE ms (refuse: the reply byte in hex; "
                 "pull: until the cable is back, 0 never)");
  app.add_option("--version", options.firmware.version, "the firmware's version text");
  app.add_option("--interface-type", options.firmware.interface_type, "the firmware's interface-type text");
  app.add_option("--spc", options.firmware.service_code, "the six-digit code that unlocks NV access")
      ->check([](const std::string& code) {
        return code.size() == 6 && code.find_first_not_of("0123456789") == std::string::npos ? "" : "six digits";
      });
  app.add_option("--flash-name", options.programmer.flash_name, "the flash name in the programmer's hello reply");
  app.add_flag("--partition-mismatch", options.programmer.partition_mismatch, "the flash holds another partition table");
  app.add_option("--programmer-start", programmer_start, "how the programmer comes up after go")
      ->check(CLI::IsMember({"same", "reenumerate"}));
  app.add_option("--reenumerate-delay", options.bootloader.reenumerate_delay_ms,
                 "how long the diagnostic port is away after go, when it re-enumerates (ms)")
      ->check(CLI::Range(0, 600000));
  app.add_option("--reboot-delay", reboot_delay_ms,
                 "how long every port is away after a reset (the resets always re-enumerate) (ms)")
      ->check(CLI::Range(0, 600000));
}

void AddUsbOptions(CLI::App& app, sim::UsbOptions& usb) {
  app.add_option("--usb-path", usb.path, "the USB port path (e.g. 1-2.3), published as the ports' third field")
      ->check([](const std::string& path) { return sim::ValidUsbPath(path) ? "" : "BUS-PORT[.PORT...], e.g. 1-2.3"; });
  app.add_flag("--switch-reenumerate", usb.switch_reenumerate,
               "after the switch to download every port vanishes; the boot loader's diagnostic port returns");
  app.add_option("--switch-delay", usb.switch_delay_ms, "how long the ports are away after the switch (ms)")
      ->check(CLI::Range(0, 600000));
  app.add_option("--reenumerate-com", usb.download_com,
                 "COM number of the boot loader's and programmer's port when they come back (default: unchanged)")
      ->check(CLI::Range(1, 9999));
  app.add_option("--firmware-com-after-download", usb.firmware_com_after_download,
                 "the firmware's ports come back from the download's reset as COM<N> (diagnostic), "
                 "COM<N+1> (AT) and COM<N+2> (NMEA) (default: unchanged)")
      ->check(CLI::Range(1, 9999));
}

// What the module's RAM and flash hold, on standard error at exit.
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
  CLI::App app{"vek-sim: a module simulated on pseudo-terminals"};
  std::string state = "firmware";
  app.add_option("--port-map", options.port_map_path,
                 "file that lists the ports (DEVICE_PATH<TAB>FRIENDLY NAME[<TAB>USB_PATH])")
      ->required();
  app.add_option("--state", state, "program the module runs at start")
      ->check(CLI::IsMember({"firmware", "bootloader", "programmer"}));
  app.add_option("--com-base", options.com_base, "diagnostic port COM<N>, AT COM<N+1>, NMEA COM<N+2>")
      ->check(CLI::Range(1, 9999));
  AddAtOptions(app, options.at);
  AddNvOptions(app, options.nv);
  AddUsbOptions(app, options.usb);
  std::vector<std::string> fault_texts;
  std::string programmer_start = "same";
  uint32_t reboot_delay_ms = options.firmware.reboot_delay_ms;
  AddProgramOptions(app, options, fault_texts, programmer_start, reboot_delay_ms);
  std::string dump_folder;
  app.add_option("--dump", dump_folder,
                 "write the NV store at start (nv-start.bin) and, at exit, the flash images (flash-TT.bin, "
                 "flash-TT.hdr), the partition table (partition.bin) and the NV store (nv.bin) into DIR");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : 2;  // --help: 0; a usage error: 2, as vek-cli
  }
  options.state = *sim::ParseSimState(state.c_str());
  if (const uint32_t com = options.usb.download_com; com == options.com_base + 1 || com == options.com_base + 2) {
    std::fprintf(stderr, "vek-sim: --reenumerate-com %u: COM%u is the AT or NMEA port\n", com, com);
    return 2;
  }
  options.bootloader.programmer_start =
      programmer_start == "same" ? sim::ProgrammerStart::kSamePort : sim::ProgrammerStart::kReenumeratePort;
  options.firmware.reboot_delay_ms = options.programmer.reboot_delay_ms = reboot_delay_ms;
  std::vector<sim::FaultRule> faults;
  for (const auto& text : fault_texts) {
    auto rule = sim::ParseFaultRule(text);
    if (!rule) {
      std::fprintf(stderr, "vek-sim: --fault %s: expected STATE:CODE:KIND[:VALUE[:TIMES]]\n", text.c_str());
      return 2;
    }
    faults.push_back(*rule);
  }

  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGUSR1);
  sigaddset(&signals, SIGUSR2);
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
  if (!dump_folder.empty()) {
    std::error_code ignored;
    std::filesystem::create_directories(dump_folder, ignored);
    if (!sim::DumpNvStore(module.device().nv, dump_folder + "/nv-start.bin"))
      std::fprintf(stderr, "vek-sim: cannot write into %s\n", dump_folder.c_str());
  }
  for (;;) {
    int received = 0;
    if (sigwait(&signals, &received) != 0) continue;
    if (received == SIGUSR1) {
      std::fprintf(stderr, "vek-sim: the USB cable is pulled\n");
      module.PullCable();
    } else if (received == SIGUSR2) {
      std::fprintf(stderr, "vek-sim: the USB cable is plugged back\n");
      module.PlugCable();
    } else {
      break;
    }
  }
  module.Stop();
  PrintFlash(module);
  if (!dump_folder.empty()) {
    const bool ok = sim::DumpFlash(module.device(), dump_folder) &&
                    sim::DumpNvStore(module.device().nv, dump_folder + "/nv.bin");
    if (!ok) std::fprintf(stderr, "vek-sim: cannot write the dump into %s\n", dump_folder.c_str());
  }
  return 0;
}
