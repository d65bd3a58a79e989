#include "protocol/mode_probe.h"

#include <algorithm>
#include <cstring>

#include "records/protocol_trace.h"
#include "records/stop_wait.h"

namespace vek {

const char* TargetModeName(uint32_t mode) {
  switch (mode) {
    case TARGET_DIAG: return "TARGET_DIAG";
    case TARGET_DOWNLOAD: return "TARGET_DOWNLOAD";
    case TARGET_GOING: return "TARGET_GOING";
    default: return "TARGET_UNSPECIFIED";
  }
}

TargetMode ClassifyProbeAnswer(const uint8_t* answer, int length) {
  uint8_t first[5] = {};
  if (answer != nullptr) std::memcpy(first, answer, static_cast<size_t>(std::clamp(length, 0, 5)));
  if (length >= 5 && std::equal(kProbeAnswerBootLoader.begin(), kProbeAnswerBootLoader.end(), first))
    return TARGET_DOWNLOAD;
  if (length >= 5 && std::equal(kProbeAnswerFirmware.begin(), kProbeAnswerFirmware.end(), first))
    return TARGET_DIAG;
  if (length >= 2 && first[0] == 0x7E && first[1] == kProbeAnswerProgrammerCode) return TARGET_GOING;
  return TARGET_UNSPECIFIED;
}

TargetMode ProbePort(PortHandle port) {
  uint8_t answer[100] = {};
  const int written = WritePort(port, kProbeFrame.data(), static_cast<int>(kProbeFrame.size()));
  if (ProtocolTraceOn())
    TraceSent(kProbeFrame.data(), kProbeFrame.size(), written == static_cast<int>(kProbeFrame.size()) ? "" : "write failed");
  if (!PauseMs(kProbeAnswerWaitMs)) return TARGET_UNSPECIFIED;
  const int got = ReadPort(port, answer, 5);
  if (got > 0 && ProtocolTraceOn()) TraceReceived(answer, static_cast<size_t>(got));
  return ClassifyProbeAnswer(answer, got);
}

// Bytes already waiting are no answer to this probe: a stray reply (the firmware
// may answer the switch to download mode) would otherwise stand in front of
// every later answer and hide the boot loader from all thirty probes.
TargetMode ProbeMode() {
  PurgeDiagPort(kPurgeReceive);
  return ProbePort(DiagPort.load());
}

}  // namespace vek
