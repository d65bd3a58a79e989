// The check before a job: a modem manager that is running may open the module's
// ports in the middle of the download. When one runs and any of the module's
// ports lacks udev's mark to be left alone, the status line and the log say so,
// with the fix. A warning only: the job goes on.
//
// Ports without a udev record (the pseudo-terminals of a port map) draw no
// warning: a modem manager finds its ports through udev and never probes them.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "link/port_udev_record.h"
#include "link/process_scan.h"
#include "records/job_records.h"

namespace vek {

// Where the check looks; tests hand in their own.
struct PreflightSources {
  std::string proc_root = kProcRoot;
  std::function<PortUdevRecord(const std::string& device_path)> read_record = ReadPortUdevRecord;
};

// The warning for a module with these port device paths, or "" when none is due.
std::string ModemManagerWarning(const std::vector<std::string>& port_paths, const PreflightSources& sources = {});

// The device paths of the module's ports now present (diagnostic, AT, NMEA).
std::vector<std::string> ModulePortPaths(const DeviceInfo& device);

// Shows and logs the warning for the module's ports, if one is due.
void RunPreflightCheck(UpgradeJob& job, const PreflightSources& sources = {});

}  // namespace vek
