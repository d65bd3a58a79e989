#include "at/port_mode_probe.h"

#include "at/at_exchange.h"
#include "protocol/mode_probe.h"

namespace vek {

bool ProbePortMode(uint32_t port, UpgradeJob& job) {
  char reply[kAtReplyBufferSize] = {};
  AtExchange(port, kProbeFrame.data(), static_cast<int>(kProbeFrame.size()), reply, sizeof reply);
  // The zero fill stands for bytes that never came, as in the read buffer itself.
  const TargetMode mode = ClassifyProbeAnswer(reinterpret_cast<const uint8_t*>(reply), kAtReadSize);
  job.target_state.store(mode);
  return mode != TARGET_UNSPECIFIED;
}

}  // namespace vek
