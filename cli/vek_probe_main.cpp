// vek-probe: finds the module's diagnostic port and tells which of its programs answers.
//
//   vek-probe [--port-map FILE]
#include <cstdio>
#include <cstring>
#include <string>

#include "device/session.h"
#include "events/exit_status.h"

int main(int argc, char** argv) {
  std::string port_map;  // the last --port-map given
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--port-map") == 0 && i + 1 < argc) {
      port_map = argv[++i];
    } else {
      std::fprintf(stderr, "usage: vek-probe [--port-map FILE]\n");
      return vekevents::kExitUsage;
    }
  }
  vek::ChoosePortSource(port_map);
  const vek::DiagProbe probe = vek::ProbeDiagPort();
  switch (probe.result) {
    case vek::DiagProbe::Result::kNoDiagPort:
      std::printf("no Diagnostics port present\n");
      return vekevents::kExitNoJob;
    case vek::DiagProbe::Result::kCannotOpen:
      std::printf("can't open diagnostic COM%u\n", probe.port);
      return vekevents::kExitFailed;
    case vek::DiagProbe::Result::kProbed:
      break;
  }
  std::printf("COM%u answers the probe: %s\n", probe.port, probe.mode_name);
  return probe.answered ? vekevents::kExitSucceeded : vekevents::kExitFailed;
}
