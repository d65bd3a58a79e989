// Helpers shared by the tests: scratch folders and bare pseudo-terminal peers.
#pragma once

#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "images/image_fingerprint.h"
#include "link/port_source.h"
#include "link/serial_port.h"
#include "sim/port_map_file.h"
#include "sim/pty_port.h"

namespace vektest {

// The SHA-256 that names a stored NV backup of `bytes`: its readers check the bytes against it.
inline std::string Sha256Of(const std::vector<uint8_t>& bytes) {
  vek::Sha256Hasher hasher;
  hasher.Update(bytes);
  return vek::HexOf(hasher.Finish());
}

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/vek-test-XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// One pty published as COM<number> in a private port map; the test plays the module.
class PeerPort {
 public:
  explicit PeerPort(uint32_t number = 7, const std::string& role = "Diagnostics") {
    pty_.Open();
    map_ = dir_.File("ports");
    sim::WritePortMapFile(map_, {{"Test Modem " + role + " (COM" + std::to_string(number) + ")", pty_.device_path()}});
    vek::SetPortMapPath(map_);
  }
  ~PeerPort() {
    vek::CloseDiagPort();
    vek::SetPortMapPath("");
  }

  void Send(const std::vector<uint8_t>& bytes) {
    ssize_t n = write(pty_.master_fd(), bytes.data(), bytes.size());
    (void)n;
  }

  // Everything the host wrote, waiting up to `ms` for the first byte and
  // briefly for the rest.
  std::vector<uint8_t> Received(int ms = 1000) {
    std::vector<uint8_t> out;
    pollfd p{pty_.master_fd(), POLLIN, 0};
    int timeout = ms;
    while (poll(&p, 1, timeout) > 0) {
      uint8_t buffer[4096];
      ssize_t n = read(pty_.master_fd(), buffer, sizeof buffer);
      if (n <= 0) break;
      out.insert(out.end(), buffer, buffer + n);
      timeout = 20;
    }
    return out;
  }

  sim::PtyPort& pty() { return pty_; }
  const std::string& map_path() const { return map_; }

 private:
  TempDir dir_;
  sim::PtyPort pty_;
  std::string map_;
};

// Waits (bounded) until `condition` holds; for tests of other threads.
template <typename Condition>
bool Eventually(Condition condition, int ms = 2000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return condition();
}

}  // namespace vektest
