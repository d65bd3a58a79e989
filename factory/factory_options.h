// The command line of vek-factory. Like vek-cli's, a fixed interface: options
// may be added; these never change.
#pragma once

#include <iostream>
#include <optional>
#include <string>

namespace vekfactory {

struct FactoryOptions {
  std::string port_map;            // --port-map FILE, as VEK_PORT_MAP
  std::string images;              // --images DIR, passed to every vek-cli
  std::string product;             // --product NAME, for modules found in a download mode
  bool restore_default = false;    // --restore-default
  bool erase_on_mismatch = false;  // --erase-on-mismatch
  std::optional<unsigned> jobs;    // --jobs N: at most N at once (default: all)
  std::string report;              // --report FILE: one JSON line per finished job
  std::optional<unsigned> count;   // --count N: end after N jobs
  std::optional<double> timeout_seconds;  // --timeout SECONDS: end when no module appeared for so long
  std::string station_db;          // --station-db FILE, passed to every vek-cli (made absolute)
  bool no_station_db = false;      // --no-station-db
  bool restore_from_vault = false;  // --restore-from-vault, passed to every vek-cli
  std::string nv_window;            // --nv-window N|auto, passed to every vek-cli
  std::string line_db;             // --line-db URL: every vek-cli gets it as VEK_LINE_DB
  bool journal = false;            // --journal: each finished job in the journal, whatever the output is
  std::string http;                // --http ADDR:PORT: the tray's live page there; empty: nothing listens
  std::string config;              // --config FILE: more options, the command line's winning
};

// Most jobs at once, and most jobs of one run.
inline constexpr unsigned kMostJobs = 256;
inline constexpr unsigned kMostCount = 1000000;

// Parses the command line, then the options file it names (--config); an exit
// status when the program must end now (--help, --version: 0; a usage error,
// in the file too: 2, told in plain words on `err`).
std::optional<int> ParseFactoryOptions(int argc, char** argv, FactoryOptions& options, std::ostream& err = std::cerr);

}  // namespace vekfactory
