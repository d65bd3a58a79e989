#include "sim/sim_at_responder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

#include "sim/sim_device.h"

namespace sim {
namespace {

// A command line longer than this is answered "ERROR" once it ends.
constexpr size_t kMaxCommandLine = 256;

std::string Upper(std::string_view text) {
  std::string upper(text);
  std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
  return upper;
}

std::string Final(std::string_view status) { return std::string(status) + "\r\n"; }

}  // namespace

SimAtResponder::~SimAtResponder() {
  if (held_fd_ >= 0) {
    ioctl(held_fd_, TIOCNXCL);
    close(held_fd_);
  }
}

void SimAtResponder::Attach(const std::string& at_device_path) {
  if (!options_.at.at_port_busy || held_fd_ >= 0) return;
  held_fd_ = open(at_device_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (held_fd_ < 0) return;
  flock(held_fd_, LOCK_EX | LOCK_NB);
  ioctl(held_fd_, TIOCEXCL);
}

std::string SimAtResponder::IdentityLines(bool with_device_info) const {
  const AtOptions& at = options_.at;
  std::string revision = at.revision;
  {
    std::lock_guard lock(device_.mutex);
    if (device_.downloads > 0 && !at.revision_after_download.empty()) revision = at.revision_after_download;
  }
  std::string lines = "Manufacturer: " + at.manufacturer + "\r\n";
  lines += "Model: " + at.model + "\r\n";
  lines += "Revision: " + revision + "\r\n";
  if (at.meid.empty()) lines += "IMEI: " + at.imei + "\r\n";
  else lines += "MEID: " + at.meid + "\r\n";
  if (with_device_info && !at.device_info.empty()) lines += "DeviceInfo: " + at.device_info + "\r\n";
  return lines + "\r\n";
}

std::string SimAtResponder::Answer(std::string_view command) const {
  const std::string upper = Upper(command);
  const AtOptions& at = options_.at;
  if (upper == "AT") return Final("OK");
  if (upper == "ATI") return IdentityLines(false) + Final("OK");
  if (upper == "AT+KORVANATI") return at.answers_maker_command ? IdentityLines(true) + Final("OK") : Final("ERROR");
  if (upper == "AT+CPWROND=0") return Final(at.power_on_default_reply);
  if (upper == "AT&F1") return Final(at.restore_defaults_reply);
  return Final("ERROR");
}

void SimAtResponder::OnBytes(SimPortRole port, const uint8_t* data, size_t length, SimActions& actions) {
  if (port == SimPortRole::kDiagnostics) return;
  const int index = port == SimPortRole::kAt ? 0 : 1;
  const bool answers = !options_.at.silent && (port == SimPortRole::kAt || options_.at.nmea_answers);
  std::string& line = pending_[index];
  for (size_t i = 0; i < length; ++i) {
    const char c = static_cast<char>(data[i]);
    if (c != '\r' && c != '\n') {
      if (line.size() < kMaxCommandLine) line.push_back(c);
      else overlong_[index] = true;
      continue;
    }
    // The LF after a CR ends an empty line, which asks nothing.
    if (line.empty() && !overlong_[index]) continue;
    const std::string reply = overlong_[index] ? Final("ERROR") : Answer(line);
    const std::string command = overlong_[index] ? std::string() : Upper(line);
    line.clear();
    overlong_[index] = false;
    if (answers) Reply(port, command, reply, actions);
  }
}

void SimAtResponder::Reply(SimPortRole port, const std::string& command, std::string reply, SimActions& actions) {
  std::optional<FaultRule> fault;
  if (faults_ != nullptr && !command.empty()) {
    bool downloaded = false;
    {
      std::lock_guard lock(device_.mutex);
      downloaded = device_.downloads > 0;
    }
    fault = faults_->TakeAt(command, downloaded);
  }
  const std::vector<uint8_t> previous = std::move(last_reply_[static_cast<int>(port)]);
  last_reply_[static_cast<int>(port)].assign(reply.begin(), reply.end());
  if (!fault) {
    actions.replies.push_back(SimReply{std::vector<uint8_t>(reply.begin(), reply.end()), 0, port});
    return;
  }
  switch (fault->kind) {
    case FaultKind::kSilence: return;
    case FaultKind::kPull: actions.pull_cable = true; return;
    case FaultKind::kRefuse: reply = Final("ERROR"); break;
    case FaultKind::kCorruptCrc:
    case FaultKind::kCorruptByte:
      if (!reply.empty()) reply[reply.size() / 2] = static_cast<char>(reply[reply.size() / 2] ^ 0x01);
      break;
    case FaultKind::kLate: break;
    case FaultKind::kCut: {
      const std::vector<uint8_t> cut = CutShort(std::vector<uint8_t>(reply.begin(), reply.end()), false);
      reply.assign(cut.begin(), cut.end());
      break;
    }
    case FaultKind::kTwice:
      actions.replies.push_back(SimReply{std::vector<uint8_t>(reply.begin(), reply.end()), 0, port});
      actions.replies.push_back(SimReply{std::vector<uint8_t>(reply.begin(), reply.end()), fault->value, port});
      return;
    case FaultKind::kStale:
      if (!previous.empty()) actions.replies.push_back(SimReply{previous, 0, port});
      break;
    case FaultKind::kSplit: {
      const size_t half = reply.size() / 2;
      actions.replies.push_back(SimReply{std::vector<uint8_t>(reply.begin(), reply.begin() + half), 0, port});
      actions.replies.push_back(SimReply{std::vector<uint8_t>(reply.begin() + half, reply.end()), fault->value, port});
      return;
    }
  }
  const uint32_t delay = fault->kind == FaultKind::kLate ? fault->value : 0;
  actions.replies.push_back(SimReply{std::vector<uint8_t>(reply.begin(), reply.end()), delay, port});
}

}  // namespace sim
