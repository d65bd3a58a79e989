// A pipe standing in for the diagnostic port: what is written to its one end
// is what the receiver reads from DiagPort, at once and in the same pieces.
#pragma once

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "fuzz_support.h"
#include "link/serial_port.h"

namespace vek::fuzz {

class PipePort {
 public:
  // Installs the pipe's read end as DiagPort (once per process).
  static PipePort& Installed() {
    static PipePort port;
    return port;
  }

  void Write(const uint8_t* data, size_t size) {
    VEK_FUZZ_REQUIRE(write(write_end_, data, size) == static_cast<ssize_t>(size));
  }
  // Bytes written and not yet read.
  int Unread() const {
    int unread = 0;
    VEK_FUZZ_REQUIRE(ioctl(DiagPort.load(), FIONREAD, &unread) == 0);
    return unread;
  }
  // What a receive purge does to a terminal: unread bytes are dropped.
  void Discard() {
    uint8_t sink[4096];
    while (read(DiagPort.load(), sink, sizeof sink) > 0) {
    }
  }

 private:
  PipePort() {
    int ends[2];
    VEK_FUZZ_REQUIRE(pipe2(ends, O_NONBLOCK | O_CLOEXEC) == 0);
    write_end_ = ends[1];
    DiagPort.store(ends[0]);
  }
  int write_end_ = -1;
};

}  // namespace vek::fuzz
