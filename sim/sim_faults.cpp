#include "sim/sim_faults.h"

#include <cctype>

namespace sim {

void FaultPlan::Add(const FaultRule& rule) {
  std::lock_guard lock(mutex_);
  rules_.push_back(rule);
}

void FaultPlan::Clear() {
  std::lock_guard lock(mutex_);
  rules_.clear();
}

namespace {

// Counts a matching request against the rule: true when the rule hits it.
bool Hits(FaultRule& rule) {
  if (rule.times == 0) return false;
  if (rule.skip > 0) {
    --rule.skip;
    return false;
  }
  if (rule.times > 0) --rule.times;
  return true;
}

}  // namespace

std::optional<FaultRule> FaultPlan::Take(SimState state, uint8_t request_code, int second_byte) {
  std::lock_guard lock(mutex_);
  for (auto& rule : rules_) {
    if (!rule.at_command.empty() || rule.state != state || rule.request_code != request_code) continue;
    if (rule.second_byte >= 0 && rule.second_byte != second_byte) continue;
    if (Hits(rule)) return rule;
  }
  return std::nullopt;
}

std::optional<FaultRule> FaultPlan::TakeAt(const std::string& command, bool downloaded) {
  std::lock_guard lock(mutex_);
  for (auto& rule : rules_) {
    if (rule.at_command != command || (rule.after_download && !downloaded)) continue;
    if (Hits(rule)) return rule;
  }
  return std::nullopt;
}

std::vector<uint8_t> CutShort(const std::vector<uint8_t>& bytes, bool framed) {
  std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<long>(bytes.size() / 2));
  // An escape byte left last would take the flag into the frame.
  while (framed && !cut.empty() && cut.back() == 0x7D) cut.pop_back();
  if (framed) cut.push_back(0x7E);
  return cut;
}

void ApplyFault(const FaultRule& rule, std::vector<SimReply>& replies, const std::vector<uint8_t>& previous) {
  switch (rule.kind) {
    case FaultKind::kTwice: {
      const size_t count = replies.size();
      for (size_t i = 0; i < count; ++i) replies.push_back(SimReply{replies[i].bytes, rule.value, replies[i].port});
      break;
    }
    case FaultKind::kStale:
      if (!previous.empty()) replies.insert(replies.begin(), SimReply{previous, 0});
      break;
    case FaultKind::kCut:
      for (auto& reply : replies) reply.bytes = CutShort(reply.bytes, true);
      break;
    case FaultKind::kSilence:
    case FaultKind::kPull:
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
    case FaultKind::kCorruptByte:
      // A byte of the body: the host's CRC check sees the damage, a host that skips it reads wrong data.
      for (auto& reply : replies) {
        if (reply.bytes.size() < 3) continue;
        uint8_t& byte = reply.bytes[reply.bytes.size() / 2];
        if (byte == 0x7E || byte == 0x7D) continue;  // framing stays intact
        byte = static_cast<uint8_t>(byte ^ 0x01);
        if (byte == 0x7E || byte == 0x7D) byte = static_cast<uint8_t>(byte ^ 0x03);
      }
      break;
  }
}

}  // namespace sim

namespace sim {
namespace {

std::vector<std::string> SplitFields(const std::string& text) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    const size_t colon = text.find(':', start);
    fields.push_back(text.substr(start, colon - start));
    if (colon == std::string::npos) return fields;
    start = colon + 1;
  }
}

std::optional<unsigned long> ParseNumber(const std::string& text, int base, unsigned long max) {
  if (text.empty() || text.size() > 10 || text[0] == '-' || text[0] == '+') return std::nullopt;
  size_t used = 0;
  unsigned long value = 0;
  try {
    value = std::stoul(text, &used, base);
  } catch (...) {
    return std::nullopt;
  }
  if (used != text.size() || value > max) return std::nullopt;
  return value;
}

}  // namespace

std::optional<FaultRule> ParseFaultRule(const std::string& text) {
  const auto fields = SplitFields(text);
  if (fields.size() < 3 || fields.size() > 6) return std::nullopt;
  FaultRule rule;
  const bool at = fields[0] == "at";
  if (at) {
    if (fields[1].empty() || fields[1].size() > 64) return std::nullopt;
    for (char& c : rule.at_command = fields[1]) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  const auto state = at ? std::optional<SimState>(SimState::kFirmware) : ParseSimState(fields[0].c_str());
  std::string code_text = fields[1];
  if (code_text.rfind("0x", 0) == 0 || code_text.rfind("0X", 0) == 0) code_text = code_text.substr(2);
  if (!at && code_text.size() == 4) {  // the request's first two bytes
    const auto second = ParseNumber(code_text.substr(2), 16, 0xFF);
    if (!second) return std::nullopt;
    rule.second_byte = static_cast<int>(*second);
    code_text.resize(2);
  }
  const auto code = at ? std::optional<unsigned long>(0) : ParseNumber(code_text, 16, 0xFF);
  if (!state || !code) return std::nullopt;
  rule.state = *state;
  rule.request_code = static_cast<uint8_t>(*code);
  const std::string& kind = fields[2];
  if (kind == "silence") rule.kind = FaultKind::kSilence;
  else if (kind == "refuse") rule.kind = FaultKind::kRefuse;
  else if (kind == "late") rule.kind = FaultKind::kLate;
  else if (kind == "split") rule.kind = FaultKind::kSplit;
  else if (kind == "corrupt-crc") rule.kind = FaultKind::kCorruptCrc;
  else if (kind == "corrupt-byte") rule.kind = FaultKind::kCorruptByte;
  else if (kind == "pull") rule.kind = FaultKind::kPull;
  else if (kind == "twice") rule.kind = FaultKind::kTwice;
  else if (kind == "stale") rule.kind = FaultKind::kStale;
  else if (kind == "cut") rule.kind = FaultKind::kCut;
  else return std::nullopt;
  if (fields.size() >= 4) {
    const bool hex = rule.kind == FaultKind::kRefuse;
    const auto value = ParseNumber(fields[3], hex ? 16 : 10, hex ? 0xFF : 600000);
    if (!value) return std::nullopt;
    rule.value = static_cast<uint32_t>(*value);
  } else if (rule.kind == FaultKind::kRefuse) {
    return std::nullopt;  // a refusal needs its byte
  }
  if (fields.size() >= 5) {
    const auto times = ParseNumber(fields[4], 10, 1000000);
    if (!times || *times == 0) return std::nullopt;
    rule.times = static_cast<int>(*times);
  }
  if (fields.size() == 6) {
    const auto skip = ParseNumber(fields[5], 10, 10000000);
    if (!skip) return std::nullopt;
    rule.skip = static_cast<int>(*skip);
  }
  return rule;
}

}  // namespace sim
