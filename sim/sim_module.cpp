#include "sim/sim_module.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "sim/port_map_file.h"
#include "sim/sim_programs.h"

namespace sim {
namespace {

constexpr SimPortRole kRoles[] = {SimPortRole::kDiagnostics, SimPortRole::kAt, SimPortRole::kNmea};

const char* RoleText(SimPortRole role) {
  switch (role) {
    case SimPortRole::kDiagnostics: return "Diagnostics";
    case SimPortRole::kAt: return "AT Port";
    case SimPortRole::kNmea: return "NMEA";
  }
  return "";
}

// Writes all of `bytes` to a non-blocking master, waiting briefly when the
// host has not read yet. Returns false when the port is gone.
bool WriteAll(int fd, const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return false;
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, 1000) <= 0) return false;  // the host stopped reading
  }
  return true;
}

}  // namespace

const char* SimStateName(SimState state) {
  switch (state) {
    case SimState::kFirmware: return "firmware";
    case SimState::kBootLoader: return "bootloader";
    case SimState::kProgrammer: return "programmer";
  }
  return "";
}

std::optional<SimState> ParseSimState(const char* text) {
  for (SimState s : {SimState::kFirmware, SimState::kBootLoader, SimState::kProgrammer})
    if (text != nullptr && std::strcmp(text, SimStateName(s)) == 0) return s;
  return std::nullopt;
}

SimModule::SimModule(SimModuleOptions options) : options_(std::move(options)), state_(options_.state) {
  device_.nv.Configure(options_.nv);
}

SimModule::~SimModule() { Stop(); }

PtyPort& SimModule::Port(SimPortRole role) { return ports_[static_cast<int>(role)]; }
const PtyPort& SimModule::Port(SimPortRole role) const { return ports_[static_cast<int>(role)]; }

uint32_t SimModule::ComNumber(SimPortRole role) const { return options_.com_base + static_cast<uint32_t>(role); }

std::string SimModule::FriendlyName(SimPortRole role) const {
  return options_.name + " " + RoleText(role) + " (COM" + std::to_string(ComNumber(role)) + ")";
}

std::string SimModule::DevicePath(SimPortRole role) const { return Port(role).device_path(); }

bool SimModule::Publish() {
  std::vector<vek::PortEntry> entries;
  for (SimPortRole role : kRoles)
    if (Port(role).is_open()) entries.push_back({FriendlyName(role), Port(role).device_path()});
  return WritePortMapFile(options_.port_map_path, entries);
}

bool SimModule::Start(std::string* error) {
  if (options_.port_map_path.empty()) {
    if (error) *error = "no port-map file given";
    return false;
  }
  for (SimPortRole role : kRoles)
    if (!Port(role).Open(error)) return false;
  SwitchProgram(options_.state);
  at_responder_ = std::make_unique<SimAtResponder>(options_, device_);
  at_responder_->Attach(Port(SimPortRole::kAt).device_path());
  if (!Publish()) {
    if (error) *error = "cannot write " + options_.port_map_path;
    return false;
  }
  wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
  return true;
}

void SimModule::Stop() {
  if (thread_.joinable()) {
    thread_.request_stop();
    uint64_t one = 1;
    [[maybe_unused]] auto n = write(wake_fd_, &one, sizeof one);
    thread_.join();
  }
  if (wake_fd_ >= 0) close(wake_fd_);
  wake_fd_ = -1;
  bool any_open = false;
  for (auto& port : ports_) {
    any_open = any_open || port.is_open();
    port.Close();
  }
  if (any_open) Publish();
}

std::vector<RecordedRequest> SimModule::Requests() const {
  std::lock_guard lock(requests_mutex_);
  return requests_;
}

void SimModule::ClearRequests() {
  std::lock_guard lock(requests_mutex_);
  requests_.clear();
}

void SimModule::SwitchProgram(SimState state) {
  state_ = state;
  decoder_.Reset();
  switch (state) {
    case SimState::kFirmware: program_ = MakeFirmware(options_, device_); break;
    case SimState::kBootLoader: program_ = MakeBootLoader(options_, device_); break;
    case SimState::kProgrammer: program_ = MakeProgrammer(options_, device_); break;
  }
}

void SimModule::HandleFrame(DecodedFrame&& frame) {
  const SimState state = state_.load();
  {
    std::lock_guard lock(requests_mutex_);
    requests_.push_back(RecordedRequest{state, frame.packet, frame.wire, frame.crc_ok});
  }
  SimActions actions;
  program_->OnFrame(frame, actions);
  if (!frame.packet.empty()) {
    if (auto fault = faults_.Take(state, frame.packet[0])) ApplyFault(*fault, actions.replies);
  }
  Schedule(actions.replies);
  if (actions.next_state) SwitchProgram(*actions.next_state);
}

void SimModule::Schedule(std::vector<SimReply>& replies) {
  auto due = std::chrono::steady_clock::now();
  for (auto& reply : replies) {
    due += std::chrono::milliseconds(reply.delay_ms);
    pending_.push_back(PendingWrite{due, reply.port, std::move(reply.bytes)});
  }
}

void SimModule::OnDiagBytes(const uint8_t* data, size_t length) {
  decoder_.Feed(data, length, [this](DecodedFrame&& frame) { HandleFrame(std::move(frame)); });
}

void SimModule::FlushDue() {
  const auto now = std::chrono::steady_clock::now();
  // Replies go out in the order they were scheduled.
  while (!pending_.empty() && pending_.front().due <= now) {
    PendingWrite write = std::move(pending_.front());
    pending_.erase(pending_.begin());
    PtyPort& port = Port(write.role);
    if (port.is_open()) WriteAll(port.master_fd(), write.bytes);
  }
}

void SimModule::Run(std::stop_token stop) {
  uint8_t buffer[8192];
  while (!stop.stop_requested()) {
    FlushDue();
    pollfd fds[4];
    nfds_t count = 0;
    fds[count++] = pollfd{wake_fd_, POLLIN, 0};
    for (SimPortRole role : kRoles)
      fds[count++] = pollfd{Port(role).is_open() ? Port(role).master_fd() : -1, POLLIN, 0};
    int timeout = -1;
    if (!pending_.empty()) {
      const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
          pending_.front().due - std::chrono::steady_clock::now());
      timeout = static_cast<int>(std::max<int64_t>(0, wait.count() + 1));
    }
    const int ready = poll(fds, count, timeout);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    for (nfds_t i = 1; i < count; ++i) {
      if (!(fds[i].revents & POLLIN)) continue;
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n <= 0) continue;
      const SimPortRole role = kRoles[i - 1];
      if (role == SimPortRole::kDiagnostics) {
        OnDiagBytes(buffer, static_cast<size_t>(n));
      } else {
        SimActions actions;
        at_responder_->OnBytes(role, buffer, static_cast<size_t>(n), actions);
        Schedule(actions.replies);
      }
    }
  }
}

}  // namespace sim
