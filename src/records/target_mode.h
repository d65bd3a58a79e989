// Which of the module's three programs answers on its diagnostic port.
#pragma once

#include <cstdint>

namespace vek {

enum TargetMode : uint32_t {
  TARGET_DIAG = 0,         // the normal firmware answers DIAG requests
  TARGET_DOWNLOAD = 1,     // the boot loader answers the DMSS download protocol
  TARGET_GOING = 2,        // the loaded programmer answers the streaming protocol
  TARGET_UNSPECIFIED = 3,  // no answer, an unrecognised one, or not probed since the last reset
};

const char* TargetModeName(uint32_t mode);

}  // namespace vek
