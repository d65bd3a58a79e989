#include "sim/sim_module.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "records/time_scale.h"
#include "sim/port_map_board.h"
#include "sim/port_map_file.h"
#include "sim/sim_programs.h"

namespace sim {
namespace {

// How long ports about to vanish wait for the host to read the last replies, and how often they look.
constexpr auto kLingerLimit = std::chrono::seconds(1);
constexpr auto kLingerPoll = std::chrono::milliseconds(2);
// A pty hands written bytes to the reader's queue a moment later.
constexpr auto kReplyTransit = std::chrono::milliseconds(50);

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

// Every port leaves the list (the module stops or its cable is pulled).
bool EveryPort(SimPortRole) { return true; }

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

SimModule::SimModule(SimModuleOptions options, std::shared_ptr<PortMapBoard> board, size_t slot)
    : options_(std::move(options)),
      diag_link_(options_.diag_link),
      board_(board ? std::move(board) : std::make_shared<PortMapBoard>(options_.port_map_path)),
      slot_(slot),
      state_(options_.state), diag_com_(options_.com_base), firmware_com_(options_.com_base) {
  device_.nv.Configure(options_.nv);
}

SimModule::~SimModule() { Stop(); }

PtyPort& SimModule::Port(SimPortRole role) { return ports_[static_cast<int>(role)]; }
const PtyPort& SimModule::Port(SimPortRole role) const { return ports_[static_cast<int>(role)]; }

uint32_t SimModule::ComNumber(SimPortRole role) const {
  if (role == SimPortRole::kDiagnostics) return diag_com_.load();
  return firmware_com_.load() + static_cast<uint32_t>(role);
}

std::string SimModule::FriendlyName(SimPortRole role) const {
  return options_.name + " " + RoleText(role) + " (COM" + std::to_string(ComNumber(role)) + ")";
}

std::string SimModule::DevicePath(SimPortRole role) const {
  std::lock_guard lock(paths_mutex_);
  return paths_[static_cast<int>(role)];
}

bool SimModule::Publish(const std::function<bool(SimPortRole)>& leaving) {
  ++port_changes_;
  std::vector<vek::PortEntry> entries;
  {
    std::lock_guard lock(paths_mutex_);
    for (SimPortRole role : kRoles) {
      const bool listed = Port(role).is_open() && !(leaving && leaving(role));
      paths_[static_cast<int>(role)] = listed ? Port(role).device_path() : std::string();
      if (listed) entries.push_back({FriendlyName(role), Port(role).device_path(), options_.usb.path});
    }
  }
  return board_->Report(slot_, std::move(entries));
}

bool SimModule::Start(std::string* error) {
  if (board_->path().empty()) {
    if (error) *error = "no port-map file given";
    return false;
  }
  if (!options_.usb.path.empty() && !ValidUsbPath(options_.usb.path)) {
    if (error) *error = "not a USB port path: " + options_.usb.path;
    return false;
  }
  const uint32_t download_com = options_.usb.download_com;
  if (download_com == options_.com_base + 1 || download_com == options_.com_base + 2) {
    if (error) *error = "COM" + std::to_string(download_com) + " is the AT or NMEA port's number";
    return false;
  }
  for (SimPortRole role : kRoles)
    if (!Port(role).Open(error)) return false;
  SwitchProgram(options_.state);
  at_responder_ = std::make_unique<SimAtResponder>(options_, device_, &faults_);
  at_responder_->Attach(Port(SimPortRole::kAt).device_path());
  if (!Publish()) {
    if (error) *error = "cannot write " + board_->path();
    return false;
  }
  wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
  return true;
}

void SimModule::Wake() {
  uint64_t one = 1;
  [[maybe_unused]] auto n = write(wake_fd_, &one, sizeof one);
}

void SimModule::Stop() {
  if (thread_.joinable()) {
    thread_.request_stop();
    Wake();
    thread_.join();
  }
  if (wake_fd_ >= 0) close(wake_fd_);
  wake_fd_ = -1;
  bool any_open = false;
  for (auto& port : ports_) any_open = any_open || port.is_open();
  if (any_open) Publish(EveryPort);
  ++port_changes_;
  for (auto& port : ports_) port.Close();
  for (auto& port : replacements_) port.Close();
  reenumeration_.reset();
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
  diag_link_.Clear();  // the requests the firmware's task still held go with it
  switch (state) {
    case SimState::kFirmware: program_ = MakeFirmware(options_, device_); break;
    case SimState::kBootLoader: program_ = MakeBootLoader(options_, device_); break;
    case SimState::kProgrammer: program_ = MakeProgrammer(options_, device_); break;
  }
}

bool SimModule::StoppedUntilGone() const {
  return reenumeration_ && !reenumeration_->away && reenumeration_->what.silent_until_gone;
}

void SimModule::HandleFrame(DecodedFrame&& frame) {
  const SimState state = state_.load();
  {
    std::lock_guard lock(requests_mutex_);
    requests_.push_back(RecordedRequest{state, frame.packet, frame.wire, frame.crc_ok});
  }
  if (StoppedUntilGone()) return;
  const auto now = std::chrono::steady_clock::now();
  // The firmware's diagnostic task gets the request over the link, in its own time.
  if (state == SimState::kFirmware && diag_link_.paced()) {
    diag_link_.Admit(std::move(frame), now);
    return;
  }
  Serve(std::move(frame), now);
}

void SimModule::ServeHandled() {
  // Serving may stop the firmware, which empties the task.
  while (auto handled = diag_link_.TakeHandled(std::chrono::steady_clock::now()))
    Serve(std::move(handled->frame), diag_link_.Delivered(handled->done));
}

// The program answers; its replies reach the host from `replies_from` on.
void SimModule::Serve(DecodedFrame&& frame, std::chrono::steady_clock::time_point replies_from) {
  if (StoppedUntilGone()) return;  // a request the task held when the firmware stopped
  const SimState state = state_.load();
  const auto fault = frame.packet.empty() ? std::nullopt : faults_.Take(state, frame.packet[0], frame.packet.size() > 1 ? frame.packet[1] : -1);
  if (fault && fault->kind == FaultKind::kSilence) return;  // the request is lost: the module never sees it
  SimActions actions;
  program_->OnFrame(frame, actions);
  if (fault && fault->kind == FaultKind::kPull) {
    // The module acted on the request; its answer and every port go with the cable.
    if (actions.next_state) SwitchProgram(*actions.next_state);
    if (actions.reenumerate && !reenumeration_) SwitchProgram(actions.reenumerate->state_after);
    PullNow(fault->value > 0 ? std::optional<uint32_t>(fault->value) : std::nullopt);
    return;
  }
  std::vector<uint8_t> previous = last_diag_reply_;
  if (!actions.replies.empty()) last_diag_reply_ = actions.replies.back().bytes;
  if (fault) ApplyFault(*fault, actions.replies, previous);
  Schedule(actions.replies, replies_from);
  if (actions.next_state) SwitchProgram(*actions.next_state);
  if (actions.reenumerate && !reenumeration_) {
    // The ports vanish once the last reply has gone out and had time to arrive.
    const auto now = std::chrono::steady_clock::now();
    auto due = now;
    for (const auto& write : pending_) due = std::max(due, write.due);
    if (!pending_.empty()) due += kReplyTransit;
    due = std::max(due, now + vek::ScaledMs(actions.reenumerate->leave_ms));
    reenumeration_ = PendingReenumeration{due, *actions.reenumerate, false, due + kLingerLimit};
  }
}

void SimModule::Schedule(std::vector<SimReply>& replies, std::chrono::steady_clock::time_point from) {
  auto due = from;
  for (auto& reply : replies) {
    due += vek::ScaledMs(reply.delay_ms);
    pending_.push_back(PendingWrite{due, reply.port, std::move(reply.bytes)});
  }
}

bool SimModule::Dropped(SimPortRole role) const {
  return role == SimPortRole::kDiagnostics || reenumeration_->what.ports == Reenumerate::Ports::kAll;
}

bool SimModule::Returning(SimPortRole role) const {
  return Dropped(role) && (role == SimPortRole::kDiagnostics || reenumeration_->what.returning == Reenumerate::Ports::kAll);
}

void SimModule::ReenumerateDue() {
  if (!reenumeration_ || reenumeration_->due > std::chrono::steady_clock::now()) return;
  if (!reenumeration_->away) {
    // A device answers before it goes: give the host the moment it needs to read the replies.
    const auto now = std::chrono::steady_clock::now();
    for (SimPortRole role : kRoles) {
      if (Dropped(role) && Port(role).Unread() > 0 && now < reenumeration_->linger_until) {
        reenumeration_->due = now + kLingerPoll;
        return;
      }
    }
    ++port_changes_;
    // The replacement exists before the old port goes, so it gets another /dev/pts path.
    for (SimPortRole role : kRoles)
      if (Returning(role)) replacements_[static_cast<int>(role)].Open();
    // Unlisted before it closes: a closed pty's number is free for the next one opened
    // (another module's), and the list must never name that one as this module's port.
    Publish([this](SimPortRole role) { return Dropped(role); });
    for (SimPortRole role : kRoles) {
      if (!Dropped(role)) continue;
      Port(role).Close();
      std::erase_if(pending_, [role](const PendingWrite& write) { return write.role == role; });
    }
    decoder_.Reset();
    diag_link_.Clear();
    reenumeration_->away = true;
    reenumeration_->due = std::chrono::steady_clock::now() + vek::ScaledMs(reenumeration_->what.delay_ms);
    return;
  }
  for (SimPortRole role : kRoles)
    if (Returning(role)) Port(role).Swap(replacements_[static_cast<int>(role)]);
  const SimState state_after = reenumeration_->what.state_after;
  // The firmware's device keeps its numbers (unless the download's reset brings it
  // back as another device); the download device may get another.
  const uint32_t firmware_com_after = options_.usb.firmware_com_after_download;
  if (state_after == SimState::kFirmware && state_ == SimState::kProgrammer && firmware_com_after != 0)
    firmware_com_ = firmware_com_after;
  if (state_after == SimState::kFirmware) diag_com_ = firmware_com_.load();
  else if (options_.usb.download_com != 0) diag_com_ = options_.usb.download_com;
  SwitchProgram(state_after);
  reenumeration_.reset();
  Publish();
  std::lock_guard lock(device_.mutex);
  ++device_.boots;  // counted once the ports are listed again
}

std::optional<std::chrono::steady_clock::time_point> SimModule::NextDue() const {
  std::optional<std::chrono::steady_clock::time_point> next;
  if (!pending_.empty()) next = pending_.front().due;
  if (reenumeration_ && (!next || reenumeration_->due < *next)) next = reenumeration_->due;
  if (plug_due_ && (!next || *plug_due_ < *next)) next = plug_due_;
  if (const auto done = diag_link_.NextDone(); done && (!next || *done < *next)) next = done;
  return next;
}

void SimModule::PullCable(std::optional<uint32_t> back_after_ms) {
  {
    std::lock_guard lock(cable_mutex_);
    cable_requests_.push_back(CableRequest{true, back_after_ms});
  }
  Wake();
}

void SimModule::PlugCable() {
  {
    std::lock_guard lock(cable_mutex_);
    cable_requests_.push_back(CableRequest{false, std::nullopt});
  }
  Wake();
}

void SimModule::TakeCableRequests() {
  std::vector<CableRequest> requests;
  {
    std::lock_guard lock(cable_mutex_);
    requests.swap(cable_requests_);
  }
  for (const auto& request : requests) {
    if (request.pull) PullNow(request.back_after_ms);
    else PlugNow();
  }
  if (plug_due_ && *plug_due_ <= std::chrono::steady_clock::now()) PlugNow();
}

void SimModule::PullNow(std::optional<uint32_t> back_after_ms) {
  if (!cable_pulled_.load()) {
    // A re-enumeration under way ends where it was heading.
    state_when_plugged_ = reenumeration_ ? reenumeration_->what.state_after : state_.load();
    reenumeration_.reset();
    Publish(EveryPort);  // unlisted before they close, as above
    ++port_changes_;
    for (auto& port : ports_) port.Close();
    for (auto& port : replacements_) port.Close();
    pending_.clear();
    decoder_.Reset();
    diag_link_.Clear();
    cable_pulled_ = true;
  }
  plug_due_.reset();
  if (back_after_ms) plug_due_ = std::chrono::steady_clock::now() + vek::ScaledMs(*back_after_ms);
}

void SimModule::PlugNow() {
  plug_due_.reset();
  if (!cable_pulled_.load()) return;
  for (SimPortRole role : kRoles) Port(role).Open();
  SwitchProgram(state_when_plugged_);
  cable_pulled_ = false;
  Publish();
  std::lock_guard lock(device_.mutex);
  ++device_.boots;
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
    TakeCableRequests();
    ServeHandled();
    FlushDue();
    ReenumerateDue();
    pollfd fds[4];
    nfds_t count = 0;
    fds[count++] = pollfd{wake_fd_, POLLIN, 0};
    for (SimPortRole role : kRoles)
      fds[count++] = pollfd{Port(role).is_open() ? Port(role).master_fd() : -1, POLLIN, 0};
    // To the microsecond: the link's and the task's times may be well under a millisecond.
    timespec timeout{};
    timespec* wait = nullptr;
    if (const auto next = NextDue()) {
      const auto left = std::chrono::ceil<std::chrono::microseconds>(*next - std::chrono::steady_clock::now());
      const int64_t micros = std::max<int64_t>(0, left.count());
      timeout = timespec{static_cast<time_t>(micros / 1000000), static_cast<long>(micros % 1000000 * 1000)};
      wait = &timeout;
    }
    const int ready = ppoll(fds, count, wait, nullptr);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    if (fds[0].revents & POLLIN) {
      uint64_t wakes = 0;
      [[maybe_unused]] auto n = read(wake_fd_, &wakes, sizeof wakes);
    }
    for (nfds_t i = 1; i < count; ++i) {
      if (!(fds[i].revents & POLLIN)) continue;
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n <= 0) continue;
      const SimPortRole role = kRoles[i - 1];
      if (role == SimPortRole::kDiagnostics) {
        OnDiagBytes(buffer, static_cast<size_t>(n));
      } else if (reenumeration_ && !reenumeration_->away && Dropped(role)) {
        // The module is resetting: its firmware no longer reads the AT ports that
        // are about to vanish, and what reaches them is lost.
      } else {
        SimActions actions;
        at_responder_->OnBytes(role, buffer, static_cast<size_t>(n), actions);
        if (actions.pull_cable) PullNow(std::nullopt);
        else Schedule(actions.replies);
      }
    }
  }
}

}  // namespace sim
