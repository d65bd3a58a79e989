#include "sim/sim_at_responder.h"

namespace sim {

void SimAtResponder::OnBytes(SimPortRole, const uint8_t*, size_t, SimActions&) {
  // Not yet answering: the ports read and drop what the host writes.
}

}  // namespace sim
