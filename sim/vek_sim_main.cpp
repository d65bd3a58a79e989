// vek-sim: a module simulated on pseudo-terminals, for trying VEK without hardware,
// or a tray of them (--modules N).
//
// Publishes the diagnostic, AT and NMEA ports in the port-map file and runs until
// SIGINT or SIGTERM. SIGUSR1 pulls the USB cable of every module (every port
// vanishes), SIGUSR2 plugs them back. `vek-sim --help` lists the options.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "link/crc16.h"
#include "sim/port_map_file.h"
#include "sim/sim_diag_link.h"
#include "sim/sim_dump.h"
#include "sim/sim_module.h"
#include "sim/sim_tray.h"

namespace {

// An identity text goes into one reply line: printable, not too long.
std::string CheckIdentityText(const std::string& text) {
  if (text.size() > 100) return "at most 100 characters";
  for (unsigned char c : text)
    if (c < 0x20 || c == 0x7F) return "printable characters only";
  return {};
}

// Fault flags that hit every module, or with =M only module M (1 to --modules);
// each use adds one entry, "" for every module.
struct ModuleFlags {
  std::vector<std::string> at_silent, at_busy, nv_write_refused, partition_mismatch;
};

void AddModuleFlag(CLI::App& app, const char* name, std::vector<std::string>& uses, const std::string& help) {
  app.add_option(name, uses, help + " (=M: only module M)")
      ->expected(0, 1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

// Whether the flag's uses hit module `index` (0-based); nullopt after naming a bad one.
std::optional<bool> Hits(const std::vector<std::string>& uses, size_t index, size_t count, const char* name) {
  bool hit = false;
  for (const auto& use : uses) {
    if (use.empty()) {
      hit = true;
      continue;
    }
    const auto module = sim::ParseModuleNumber(use, count);
    if (!module) {
      std::fprintf(stderr, "vek-sim: %s=%s: expected a module number from 1 to %zu\n", name, use.c_str(), count);
      return std::nullopt;
    }
    hit = hit || *module == index;
  }
  return hit;
}

// Puts the targeted fault flags into each module's options; false after a bad module number.
bool ApplyModuleFlags(const ModuleFlags& flags, std::vector<sim::SimModuleOptions>& modules) {
  for (size_t i = 0; i < modules.size(); ++i) {
    const auto silent = Hits(flags.at_silent, i, modules.size(), "--at-silent");
    const auto busy = Hits(flags.at_busy, i, modules.size(), "--at-busy");
    const auto refused = Hits(flags.nv_write_refused, i, modules.size(), "--nv-write-refused");
    const auto mismatch = Hits(flags.partition_mismatch, i, modules.size(), "--partition-mismatch");
    if (!silent || !busy || !refused || !mismatch) return false;
    modules[i].at.silent = modules[i].at.silent || *silent;
    modules[i].at.at_port_busy = modules[i].at.at_port_busy || *busy;
    if (*refused) modules[i].nv.write_refusal = 0x42;
    modules[i].programmer.partition_mismatch = modules[i].programmer.partition_mismatch || *mismatch;
  }
  return true;
}

void AddAtOptions(CLI::App& app, sim::AtOptions& at, ModuleFlags& flags) {
  const auto identity = CLI::Validator(CheckIdentityText, "TEXT");
  app.add_option("--model", at.model, "model name in the ATI reply")->check(identity);
  app.add_option("--revision", at.revision, "software version before a download")->check(identity);
  app.add_option("--revision-after-download", at.revision_after_download, "software version after a download")
      ->check(identity);
  app.add_option("--imei", at.imei, "IMEI in the ATI reply")->check(identity);
  app.add_option("--meid", at.meid, "MEID reported instead of the IMEI")->check(identity);
  app.add_option("--device-info", at.device_info, "text after \"DeviceInfo: \" (empty: no such line)")
      ->check(identity);
  AddModuleFlag(app, "--at-silent", flags.at_silent, "fault: the AT and NMEA ports answer nothing");
  AddModuleFlag(app, "--at-busy", flags.at_busy, "fault: the AT port is held exclusively");
}

void AddNvOptions(CLI::App& app, sim::NvOptions& nv, ModuleFlags& flags) {
  app.add_option("--nv-silent-from", nv.silent_from_item, "NV requests for ITEM and above get no reply")
      ->check(CLI::Range(0, 65535));
  app.add_option("--nv-bad-crc", nv.bad_crc_item, "the first read reply for ITEM has a wrong CRC")
      ->check(CLI::Range(0, 65535));
  AddModuleFlag(app, "--nv-write-refused", flags.nv_write_refused,
                "fault: every NV write is refused with 0x42, as by a locked module");
  app.add_flag("--nv-reset-by-download", nv.reset_by_download,
               "a completed download puts every NV item but the IMEI and MEID back to its defaults");
}

void AddProgramOptions(CLI::App& app, sim::SimModuleOptions& options, std::vector<std::string>& faults,
                       std::string& programmer_start, uint32_t& reboot_delay_ms, ModuleFlags& flags) {
  app.add_option("--fault", faults,
                 "misbehave on a request: [M@]STATE:CODE:KIND[:VALUE[:TIMES[:SKIP]]]; M@ only module M, CODE in "
                 "hex (STATE at: an AT command), KIND silence|refuse|late|split|corrupt-crc|corrupt-byte|pull|"
                 "twice|stale|cut, VALUE ms (refuse: the reply byte in hex; pull: until the cable is back, 0 "
                 "never), SKIP matching requests that pass first");
  app.add_option("--version", options.firmware.version, "the firmware's version text");
  app.add_option("--interface-type", options.firmware.interface_type, "the firmware's interface-type text");
  app.add_option("--spc", options.firmware.service_code, "the six-digit code that unlocks NV access")
      ->check([](const std::string& code) {
        return code.size() == 6 && code.find_first_not_of("0123456789") == std::string::npos ? "" : "six digits";
      });
  app.add_option("--flash-name", options.programmer.flash_name, "the flash name in the programmer's hello reply");
  AddModuleFlag(app, "--partition-mismatch", flags.partition_mismatch, "the flash holds another partition table");
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

void AddDiagLinkOptions(CLI::App& app, sim::DiagLinkOptions& link) {
  app.add_option_function<std::string>(
         "--link-latency-ms", [&link](const std::string& text) { link.latency_us = *sim::ParseLinkLatencyMs(text); },
         "round trip of the USB link to the firmware's diagnostic task, a decimal (e.g. 0.5): each DIAG request "
         "reaches the task half of it after it was written, each reply the host the other half after it was sent; "
         "requests in flight overlap (default 0)")
      ->type_name("MS")
      ->check([](const std::string& text) {
        return sim::ParseLinkLatencyMs(text) ? "" : "a decimal number of milliseconds from 0 to 60000";
      });
  app.add_option("--diag-service-us", link.service_us,
                 "the diagnostic task's time on each DIAG request, one at a time in arrival order (microseconds, "
                 "default 0)")
      ->check(CLI::Range(0, 10000000));
  app.add_option("--diag-queue", link.queue,
                 "DIAG requests the task holds at once, the one it serves among them; those arriving beyond are dropped "
                 "unanswered and counted at exit (default 0: no bound)")
      ->check(CLI::Range(0, 1000000));
}

// What the module's RAM and flash hold, on standard error at exit; `who` starts each line.
void PrintFlash(sim::SimModule& module, const std::string& who) {
  auto& device = module.device();
  std::lock_guard lock(device.mutex);
  std::fprintf(stderr, "%sprogrammer in RAM: %zu bytes at 0x%08X\n", who.c_str(), device.ram.size(), device.ram_base);
  for (const auto& [type, image] : device.flash) {
    const uint16_t crc = vek::Crc16(image.data.data(), static_cast<int>(image.data.size() * 8));
    std::fprintf(stderr, "%sflash image %u: header %zu bytes, data %zu bytes, crc %04X%s\n", who.c_str(), type,
                 image.header.size(), image.data.size(), crc, image.closed ? "" : " (not closed)");
  }
  std::fprintf(stderr, "%sEFS erased %d times\n", who.c_str(), device.efs_erasures);
}

// The fault rules, each every module's or one module's.
bool ParseFaults(const std::vector<std::string>& texts, size_t count, std::vector<std::vector<sim::FaultRule>>& faults) {
  faults.assign(count, {});
  for (const auto& text : texts) {
    const auto fault = sim::ParseTargetedFault(text, count);
    if (!fault) {
      std::fprintf(stderr, "vek-sim: --fault %s: expected [M@]STATE:CODE:KIND[:VALUE[:TIMES[:SKIP]]], M from 1 to %zu\n",
                   text.c_str(), count);
      return false;
    }
    for (size_t i = 0; i < count; ++i)
      if (!fault->module || *fault->module == i) faults[i].push_back(fault->rule);
  }
  return true;
}

// The dump folder of module `index`: DIR itself for one module, DIR/module-M in a tray.
std::string DumpFolder(const std::string& dump, size_t index, size_t count) {
  return count == 1 ? dump : dump + "/module-" + std::to_string(index + 1);
}

// "vek-sim: " for one module, "vek-sim: module M: " in a tray.
std::string Who(size_t index, size_t count) {
  return count == 1 ? "vek-sim: " : "vek-sim: module " + std::to_string(index + 1) + ": ";
}

void DumpAtStart(sim::SimTray& tray, const std::string& dump) {
  for (size_t i = 0; i < tray.size(); ++i) {
    const std::string folder = DumpFolder(dump, i, tray.size());
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    if (!sim::DumpNvStore(tray.module(i).device().nv, folder + "/nv-start.bin"))
      std::fprintf(stderr, "vek-sim: cannot write into %s\n", folder.c_str());
  }
}

void ReportAtExit(sim::SimTray& tray, const std::string& dump) {
  for (size_t i = 0; i < tray.size(); ++i) {
    PrintFlash(tray.module(i), Who(i, tray.size()));
    if (const uint32_t queue = tray.module(i).options().diag_link.queue; queue != 0) {
      const auto dropped = static_cast<unsigned long long>(tray.module(i).dropped_diag_requests());
      std::fprintf(stderr, "%sthe diagnostic task dropped %llu request%s (queue of %u)\n", Who(i, tray.size()).c_str(),
                   dropped, dropped == 1 ? "" : "s", queue);
    }
    if (dump.empty()) continue;
    const std::string folder = DumpFolder(dump, i, tray.size());
    const bool ok = sim::DumpFlash(tray.module(i).device(), folder) &&
                    sim::DumpNvStore(tray.module(i).device().nv, folder + "/nv.bin");
    if (!ok) std::fprintf(stderr, "vek-sim: cannot write the dump into %s\n", folder.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  sim::SimModuleOptions options;
  CLI::App app{"vek-sim: a module simulated on pseudo-terminals, or a tray of them"};
  std::string state = "firmware";
  app.add_option("--port-map", options.port_map_path,
                 "file that lists the ports (DEVICE_PATH<TAB>FRIENDLY NAME[<TAB>USB_PATH])")
      ->required();
  size_t module_count = 1;
  app.add_option("--modules", module_count,
                 "simulate N modules (1 to 32) in the one port map: module M on the next USB port, its COM "
                 "numbers 10 * (M - 1) higher, its IMEI's serial M - 1 higher")
      ->check(CLI::Range(size_t{1}, sim::kMaxTrayModules));
  app.add_option("--state", state, "program the module runs at start")
      ->check(CLI::IsMember({"firmware", "bootloader", "programmer"}));
  app.add_option("--com-base", options.com_base, "diagnostic port COM<N>, AT COM<N+1>, NMEA COM<N+2>")
      ->check(CLI::Range(1, 9999));
  ModuleFlags flags;
  AddAtOptions(app, options.at, flags);
  AddNvOptions(app, options.nv, flags);
  AddUsbOptions(app, options.usb);
  AddDiagLinkOptions(app, options.diag_link);
  std::vector<std::string> fault_texts;
  std::string programmer_start = "same";
  uint32_t reboot_delay_ms = options.firmware.reboot_delay_ms;
  AddProgramOptions(app, options, fault_texts, programmer_start, reboot_delay_ms, flags);
  std::string dump_folder;
  app.add_option("--dump", dump_folder,
                 "write the NV store at start (nv-start.bin) and, at exit, the flash images (flash-TT.bin, "
                 "flash-TT.hdr), the partition table (partition.bin) and the NV store (nv.bin) into DIR "
                 "(several modules: into DIR/module-M)");
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
  // One module, one identity: its NV item holds the IMEI its AT port names (a
  // tray's modules get theirs the same way).
  if (std::vector<uint8_t> item = sim::ImeiItem(options.at.imei); !item.empty()) options.nv.imei_item = std::move(item);
  std::string error;
  auto modules = sim::TrayModuleOptions(options, module_count, &error);
  if (!modules) {
    std::fprintf(stderr, "vek-sim: --modules %zu: %s\n", module_count, error.c_str());
    return 2;
  }
  std::vector<std::vector<sim::FaultRule>> faults;
  if (!ApplyModuleFlags(flags, *modules) || !ParseFaults(fault_texts, module_count, faults)) return 2;

  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGUSR1);
  sigaddset(&signals, SIGUSR2);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);  // before the modules' threads start

  sim::SimTray tray(std::move(*modules));
  for (size_t i = 0; i < tray.size(); ++i)
    for (const auto& rule : faults[i]) tray.module(i).faults().Add(rule);
  if (!tray.Start(&error)) {
    std::fprintf(stderr, "vek-sim: %s\n", error.c_str());
    return 1;
  }
  for (size_t i = 0; i < tray.size(); ++i) {
    sim::SimModule& module = tray.module(i);
    std::fprintf(stderr, "vek-sim: %s module on %s (%s), %s, %s; ports listed in %s\n",
                 sim::SimStateName(module.state()), module.DevicePath(sim::SimPortRole::kDiagnostics).c_str(),
                 module.FriendlyName(sim::SimPortRole::kDiagnostics).c_str(),
                 module.FriendlyName(sim::SimPortRole::kAt).c_str(),
                 module.FriendlyName(sim::SimPortRole::kNmea).c_str(), options.port_map_path.c_str());
  }
  if (!dump_folder.empty()) DumpAtStart(tray, dump_folder);
  for (;;) {
    int received = 0;
    if (sigwait(&signals, &received) != 0) continue;
    if (received == SIGUSR1) {
      std::fprintf(stderr, "vek-sim: the USB cable is pulled\n");
      for (size_t i = 0; i < tray.size(); ++i) tray.module(i).PullCable();
    } else if (received == SIGUSR2) {
      std::fprintf(stderr, "vek-sim: the USB cable is plugged back\n");
      for (size_t i = 0; i < tray.size(); ++i) tray.module(i).PlugCable();
    } else {
      break;
    }
  }
  tray.Stop();
  ReportAtExit(tray, dump_folder);
  return 0;
}
