// The command line of vek-cli. Its options are a fixed interface: other programs
// drive VEK through them. More may be added; these never change.
#pragma once

#include <chrono>
#include <iostream>
#include <optional>
#include <string>

namespace vekcli {

struct CliOptions {
  std::string port_map;         // --port-map FILE, as VEK_PORT_MAP
  std::string images;           // --images DIR, the initial image folder
  std::string product;          // --product NAME, the choice in a download mode
  bool restore_default = false; // --restore-default
  bool erase_on_mismatch = false;  // --erase-on-mismatch
  std::optional<double> timeout_seconds;  // --timeout SECONDS
  bool verbose = false;         // --verbose
  std::string trace;            // --trace FILE, the protocol trace (wins over VEK_TRACE)
  std::string events;           // --events FILE|-|fd:N, the event stream (JSON lines)
  std::string module;           // --module WHERE, one module among several: a USB port path or COM<n>
  std::string station_db;       // --station-db FILE, as VEK_STATION_DB
  bool no_station_db = false;   // --no-station-db
  std::string line_db;          // --line-db URL, as VEK_LINE_DB
  bool restore_from_vault = false;  // --restore-from-vault
  std::string nv_window;            // --nv-window N|auto (empty: "[nv] window" of config.ini, else 1)
};

// Parses the command line. Returns an exit status when the program must end now
// (--help, --version: 0; a usage error: 2, with the reason on `err`). A number
// that is not one, or is out of range, gets one line naming the option and
// what it expects.
std::optional<int> ParseCliOptions(int argc, char** argv, CliOptions& options, std::ostream& err = std::cerr);

// When the wait for a module ends: `now` plus --timeout, or never (no
// --timeout, or one so long that it cannot end while anybody waits).
std::chrono::steady_clock::time_point DeadlineOf(const CliOptions& options, std::chrono::steady_clock::time_point now);

}  // namespace vekcli
