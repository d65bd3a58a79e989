// The port-map file: one present port per line, "DEVICE_PATH<TAB>FRIENDLY NAME",
// optionally followed by "<TAB>USB_PATH", where the module is plugged in (e.g.
// "1-2.3", see link/usb_port_path.h). A line whose USB path is not well formed
// is skipped.
//
// The file is read afresh at every enumeration, so a writer that replaces it
// (temporary file and rename) makes ports appear and vanish. Blank lines and
// lines starting with '#' are skipped; a missing file means no port is present.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "link/port_source.h"

namespace vek {

// Parses the text of a port-map file; malformed lines are skipped.
std::vector<PortEntry> ParsePortMap(std::string_view text);

class PortMapSource : public PortSource {
 public:
  explicit PortMapSource(std::string path) : path_(std::move(path)) {}
  std::vector<PortEntry> ListPorts() override;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace vek
