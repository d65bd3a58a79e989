// How the simulated module is set up: one group of options per program.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/sim_program.h"

namespace sim {

struct FirmwareOptions {
  std::string version = "SIM_FW_1.0.0";        // the version reply's text
  std::string interface_type = "USB";          // the interface-type reply's text
  std::string service_code = "000000";         // the code that unlocks NV access
  uint32_t reboot_delay_ms = 300;              // ports away after a reset
};

// How the programmer comes up after the boot loader's go.
enum class ProgrammerStart {
  kSamePort,         // on the diagnostic port the host still holds
  kReenumeratePort,  // the diagnostic port vanishes and comes back (same COM number)
};

struct BootLoaderOptions {
  ProgrammerStart programmer_start = ProgrammerStart::kReenumeratePort;
  uint32_t reenumerate_delay_ms = 300;  // diagnostic port away after go
};

struct ProgrammerOptions {
  std::string flash_name = "SIM NAND 128MiB";  // in the hello reply
  bool partition_mismatch = false;             // the flash holds another table until override 1
  uint32_t reboot_delay_ms = 300;              // ports away after the reset
  uint32_t reset_leave_ms = 0;                 // from the reset's answer until the ports vanish (it still answers)
};

struct NvOptions {
  uint32_t seed = 1;  // seeds the data of every item
  // Item 550: the IMEI as L and L BCD bytes (identity type 0xA in the first nibble).
  std::vector<uint8_t> imei_item = {0x08, 0x3A, 0x49, 0x01, 0x23, 0x45, 0x67, 0x89, 0x01};
  // Item 1943: the MEID bytes.
  std::vector<uint8_t> meid_item = {0x78, 0x56, 0x34, 0x12, 0x00, 0x00, 0xA0, 0x00};
  int32_t silent_from_item = -1;  // NV requests for this item id and above get no reply
  int32_t bad_crc_item = -1;      // read replies for this item go out with a wrong CRC...
  int32_t bad_crc_times = 1;      // ...this many times
  uint8_t write_refusal = 0;      // every NV write is refused with this code (0x42: a locked module); 0: written
  bool reset_by_download = false; // a completed download puts every item back to its defaults (identity kept)
};

// How the AT and NMEA ports answer.
struct AtOptions {
  std::string manufacturer = "Simulated Modules Ltd";
  std::string model = "SM100";
  std::string revision = "SM100_V1.0.0";
  std::string revision_after_download;  // the version once a download has completed; empty: unchanged
  std::string imei = "356938035643809";
  std::string meid;                     // reported instead of the IMEI when set
  std::string device_info = "12,34";    // the text after "DeviceInfo: "; empty: no such line
  bool answers_maker_command = true;    // false: "AT+KORVANATI" is answered "ERROR"
  std::string power_on_default_reply = "OK";  // answer to "AT+CPWROND=0"
  std::string restore_defaults_reply = "OK";  // answer to "AT&F1"
  bool nmea_answers = true;             // the NMEA port answers AT commands too
  bool silent = false;                  // fault: neither port answers anything
  bool at_port_busy = false;            // fault: the AT port is held exclusively by another program
};

// The module on the USB bus: where it is plugged in, and how it comes back when it
// drops off the bus to change program. The resets always re-enumerate (the firmware
// returns with all its ports); the switch and go do when asked.
struct UsbOptions {
  std::string path;                 // its USB port path as sysfs names it ("1-2.3"); empty: not published
  bool switch_reenumerate = false;  // after the switch request every port vanishes; the boot loader's one returns
  uint32_t switch_leave_ms = 300;   // from the switch request until the ports vanish
  uint32_t switch_delay_ms = 1000;  // how long they stay away
  // The COM number of the boot loader's and programmer's diagnostic port once they come
  // back from a re-enumeration (another USB device gets another number); 0: unchanged.
  // The firmware's ports return under their own numbers, unless...
  uint32_t download_com = 0;
  // ...the download's reset brings the firmware back as another USB device: its
  // diagnostic port COM<N>, AT COM<N+1>, NMEA COM<N+2> from then on; 0: unchanged.
  uint32_t firmware_com_after_download = 0;
};

// The USB link between the host and the firmware's diagnostic task, and the task's
// pace: what makes the firmware's DIAG replies take time. All zero: each request is
// answered the moment it is read, as by a module on a perfect link.
struct DiagLinkOptions {
  uint32_t latency_us = 0;  // the link's round trip: half of it to the task, half back to the host
  uint32_t service_us = 0;  // the task's time on each request, one request at a time in arrival order
  uint32_t queue = 0;       // requests the task holds, the one served among them; more are dropped unanswered. 0: no bound
};

struct SimModuleOptions {
  SimState state = SimState::kFirmware;
  std::string port_map_path;  // where the ports are published (required)
  uint32_t com_base = 20;     // diagnostic COM<base>, AT COM<base+1>, NMEA COM<base+2>
  std::string name = "Simulated Module";
  FirmwareOptions firmware;
  BootLoaderOptions bootloader;
  ProgrammerOptions programmer;
  NvOptions nv;
  AtOptions at;
  UsbOptions usb;
  DiagLinkOptions diag_link;
};

}  // namespace sim
