// The boot loader's download protocol (DMSS): the host checks that the boot
// loader listens, asks for its parameters, writes the flash programmer into
// the module's RAM and starts it. Multi-byte numbers are big-endian here.
#pragma once

#include <cstdint>

namespace vek {

// Where the programmer is loaded and started.
inline constexpr uint32_t kProgrammerLoadAddress = 0x00800000;
// Data bytes per write block.
inline constexpr int kProgrammerBlockSize = 1017;

// 06; success on 0x02 (0x0D frames are skipped).
bool DmssNop();
// 07; success on 0x08 (the parameters that follow are not used).
bool DmssParamRequest();
// The programmer slot in 1017-byte blocks from 0x00800000, each acknowledged
// with 0x02; progress (0, 100), then (bytes written, size) after every block.
bool DmssWriteProgrammer();
// 05 00 80 00 00; no reply is read (the boot loader jumps to the programmer).
bool DmssGo();

}  // namespace vek
