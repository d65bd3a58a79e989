// One end of a simulated serial port: a pseudo-terminal whose slave device
// (/dev/pts/N) the host opens as the module's port.
#pragma once

#include <string>
#include <utility>

namespace sim {

class PtyPort {
 public:
  PtyPort() = default;
  ~PtyPort() { Close(); }
  PtyPort(const PtyPort&) = delete;
  PtyPort& operator=(const PtyPort&) = delete;

  // Creates the pty in raw mode. The simulator keeps a slave descriptor of its
  // own open, so a host that closes and reopens the port finds it unchanged.
  bool Open(std::string* error = nullptr);
  // Closes both ends: the device vanishes at once.
  void Close();

  // Exchanges the two ports' devices (a replacement made ready in advance).
  void Swap(PtyPort& other) noexcept {
    std::swap(master_, other.master_);
    std::swap(slave_, other.slave_);
    path_.swap(other.path_);
  }

  bool is_open() const { return master_ >= 0; }
  // Bytes the module wrote that the host has not read yet.
  int Unread() const;
  int master_fd() const { return master_; }
  const std::string& device_path() const { return path_; }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

}  // namespace sim
