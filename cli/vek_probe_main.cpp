// vek-probe: finds the module's diagnostic port and tells which of its programs answers.
//
//   vek-probe [--port-map FILE]
#include <cstdio>
#include <cstring>
#include <string>

#include "link/com_port_name.h"
#include "link/port_source.h"
#include "link/serial_port.h"
#include "link/udev_port_source.h"
#include "protocol/mode_probe.h"

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--port-map") == 0 && i + 1 < argc) {
      vek::SetPortMapPath(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: vek-probe [--port-map FILE]\n");
      return 2;
    }
  }
  if (!vek::ActivePortMapPath()) vek::InstallSystemPortSource();
  uint32_t diag = 0;
  for (const auto& port : vek::ActivePortSource()->ListPorts()) {
    if (port.friendly_name.find("Diagnostics") == std::string::npos) continue;
    if (auto number = vek::ComNumberOfName(port.friendly_name)) diag = *number;
  }
  if (diag == 0) {
    std::printf("no Diagnostics port present\n");
    return 3;
  }
  if (!vek::OpenDiagPort(diag)) {
    std::printf("can't open diagnostic COM%u\n", diag);
    return 1;
  }
  const vek::TargetMode mode = vek::ProbeMode();
  vek::CloseDiagPort();
  std::printf("COM%u answers the probe: %s\n", diag, vek::TargetModeName(mode));
  return mode == vek::TARGET_UNSPECIFIED ? 1 : 0;
}
