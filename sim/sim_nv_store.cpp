#include "sim/sim_nv_store.h"

namespace sim {

void SimNvStore::OnFrame(const DecodedFrame& frame, SimActions& actions) {
  // Not yet an NV store: refuse like an unknown command.
  std::vector<uint8_t> reply(frame.packet.size() + 1);
  reply[0] = 0x15;
  for (size_t i = 0; i < frame.packet.size(); ++i) reply[i + 1] = frame.packet[i];
  actions.replies.push_back(SimReply{FrameReply(reply, false), 0});
}

}  // namespace sim
