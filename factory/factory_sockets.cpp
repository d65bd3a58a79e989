#include "factory/factory_sockets.h"

#include <algorithm>

namespace vekfactory {

void ModuleSockets::MakeDue(const std::string& usb_path, Socket& socket, Clock::time_point now) {
  socket.state = State::kDue;
  due_.push_back(usb_path);
  last_appearance_ = now;
}

void ModuleSockets::Update(const std::vector<std::string>& present, Clock::time_point now) {
  for (const std::string& usb_path : present)
    if (sockets_.find(usb_path) == sockets_.end()) MakeDue(usb_path, sockets_[usb_path], now);
  for (auto it = sockets_.begin(); it != sockets_.end();) {
    const std::string& usb_path = it->first;
    Socket& socket = it->second;
    const bool here = std::find(present.begin(), present.end(), usb_path) != present.end();
    if (socket.state == State::kRestarting && now - socket.job_ended > kRestartLimit) socket.state = State::kDone;
    if (!here && socket.state == State::kDue) {
      // Gone before its job began: forgotten, and new when it comes again.
      due_.erase(std::remove(due_.begin(), due_.end(), usb_path), due_.end());
      it = sockets_.erase(it);
      continue;
    }
    if (here && !socket.present) {
      if (socket.state == State::kRestarting) socket.state = State::kDone;  // back from its restart
      else if (socket.state == State::kDone && now - socket.job_ended >= kSettle)
        MakeDue(usb_path, socket, now);  // plugged in again
    }
    socket.present = here;
    ++it;
  }
}

std::optional<std::string> ModuleSockets::TakeDue() {
  if (due_.empty()) return std::nullopt;
  std::string usb_path = due_.front();
  due_.pop_front();
  sockets_[usb_path].state = State::kBusy;
  return usb_path;
}

void ModuleSockets::JobEnded(const std::string& usb_path, bool restarting, Clock::time_point now) {
  Socket& socket = sockets_[usb_path];
  socket.state = restarting ? State::kRestarting : State::kDone;
  socket.job_ended = now;
}

void ModuleSockets::DropDue() {
  for (const std::string& usb_path : due_) sockets_.erase(usb_path);
  due_.clear();
}

bool ModuleSockets::TakenOut(const std::string& usb_path, Clock::time_point now) const {
  const auto found = sockets_.find(usb_path);
  if (found == sockets_.end()) return false;
  const Socket& socket = found->second;
  return !socket.present && socket.state == State::kDone && now - socket.job_ended >= kSettle;
}

bool ModuleSockets::Restarting(const std::string& usb_path) const {
  const auto found = sockets_.find(usb_path);
  return found != sockets_.end() && found->second.state == State::kRestarting;
}

}  // namespace vekfactory
