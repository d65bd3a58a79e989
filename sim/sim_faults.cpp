#include "sim/sim_faults.h"

namespace sim {

void FaultPlan::Add(const FaultRule& rule) {
  std::lock_guard lock(mutex_);
  rules_.push_back(rule);
}

void FaultPlan::Clear() {
  std::lock_guard lock(mutex_);
  rules_.clear();
}

std::optional<FaultRule> FaultPlan::Take(SimState state, uint8_t request_code) {
  std::lock_guard lock(mutex_);
  for (auto& rule : rules_) {
    if (rule.state != state || rule.request_code != request_code || rule.times == 0) continue;
    if (rule.times > 0) --rule.times;
    return rule;
  }
  return std::nullopt;
}

void ApplyFault(const FaultRule& rule, std::vector<SimReply>& replies) {
  switch (rule.kind) {
    case FaultKind::kSilence:
      replies.clear();
      break;
    case FaultKind::kRefuse: {
      const bool opening = !replies.empty() && !replies.front().bytes.empty() && replies.front().bytes[0] == 0x7E;
      replies.assign(1, SimReply{FrameReply({static_cast<uint8_t>(rule.value)}, opening), 0});
      break;
    }
    case FaultKind::kLate:
      if (!replies.empty()) replies.front().delay_ms += rule.value;
      break;
    case FaultKind::kSplit: {
      std::vector<SimReply> split;
      for (auto& reply : replies) {
        const size_t half = reply.bytes.size() / 2;
        split.push_back(SimReply{{reply.bytes.begin(), reply.bytes.begin() + static_cast<long>(half)}, reply.delay_ms});
        split.push_back(SimReply{{reply.bytes.begin() + static_cast<long>(half), reply.bytes.end()}, rule.value});
      }
      replies = std::move(split);
      break;
    }
    case FaultKind::kCorruptCrc:
      // The byte before the closing flag is the CRC's high byte (or its escape).
      for (auto& reply : replies) {
        if (reply.bytes.size() >= 2) {
          uint8_t& byte = reply.bytes[reply.bytes.size() - 2];
          byte = static_cast<uint8_t>(byte ^ 0x01);
          if (byte == 0x7E || byte == 0x7D) byte = static_cast<uint8_t>(byte ^ 0x03);
        }
      }
      break;
  }
}

}  // namespace sim
