// The mode probe: one fixed frame that each of the module's programs answers
// differently, so the host knows which protocol to speak next.
#pragma once

#include <array>
#include <cstdint>

#include "link/serial_port.h"
#include "records/target_mode.h"

namespace vek {

// The DMSS no-operation packet 0x06 with its CRC between two flags.
inline constexpr std::array<uint8_t, 5> kProbeFrame = {0x7E, 0x06, 0x4E, 0x95, 0x7E};
// The boot loader acknowledges it with 0x02.
inline constexpr std::array<uint8_t, 5> kProbeAnswerBootLoader = {0x7E, 0x02, 0x6A, 0xD3, 0x7E};
// The firmware rejects it as a bad DIAG command: 15 06, CRC, closing flag only.
inline constexpr std::array<uint8_t, 5> kProbeAnswerFirmware = {0x15, 0x06, 0x58, 0x81, 0x7E};
// The programmer answers with a streaming error frame: 7E 0E ...
inline constexpr uint8_t kProbeAnswerProgrammerCode = 0x0E;

// Pause between writing the probe and reading its answer.
inline constexpr uint32_t kProbeAnswerWaitMs = 200;

// Classifies the first bytes of an answer to the probe.
TargetMode ClassifyProbeAnswer(const uint8_t* answer, int length);

// Writes the probe on `port`, pauses 200 ms and classifies one read of up to 5 bytes.
TargetMode ProbePort(PortHandle port);

// The probe on DiagPort.
TargetMode ProbeMode();

}  // namespace vek
