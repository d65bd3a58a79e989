// The DIAG requests the host sends to the module's normal firmware: read the
// version, set the download interface type, switch to the boot loader, go
// offline, reset, and unlock NV access with the service programming code.
//
// Each builds its request in TxPacket and judges the reply left in RxFrame
// (which callers read after a successful DiagVersion or DiagSetInterfaceType).
#pragma once

#include <cstdint>

namespace vek {

// The service programming code of this program: six ASCII digits.
inline constexpr char kServiceProgrammingCode[] = "000000";
static_assert(sizeof kServiceProgrammingCode == 6 + 1);

// 00 without opening flag; success when the reply's byte 0 is 0x00. The
// version text is the reply from byte 1 on.
bool DiagVersion();
// 3D without opening flag; at most 50 empty attempts; success on reply 0x3D.
bool DiagSetInterfaceType();
// 3A without opening flag; no reply is read (the module leaves its firmware).
bool DiagSwitchToDownload();
// 29 01 00; 1 when the module answers 0x29 (polled every 1000 ms), else 0.
int DiagOffline();
// 29 02 00; no reply is read (the module restarts).
bool DiagReset();
// 41 and the code; 1 when answered 41 01; a refusal 41 xx is tried again up
// to four requests in all; any other reply ends with 0 at once.
int DiagUnlockSpc();

}  // namespace vek
