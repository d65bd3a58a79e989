// The two AT commands a job sends besides the identity query.
#pragma once

#include <cstdint>

namespace vek {

// Sends "AT+CPWROND=0" on the module's AT port before a download. True when the
// module answered "OK" or "ERROR" (both logged); false when the port cannot be
// opened (reported), the write fails, or the reply is missing or holds neither.
bool SentCpwrondCmd();

// Sends "AT&F1" on `port` and gives the module 2000 ms to restore its defaults.
// True only when it answered and the answer holds "OK".
bool AtRestoreDefaults(uint32_t port);

}  // namespace vek
