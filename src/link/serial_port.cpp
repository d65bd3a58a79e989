#include "link/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "link/open_failure.h"
#include "link/port_source.h"
#include "records/stop_wait.h"

namespace vek {

std::atomic<PortHandle> DiagPort{kInvalidPort};

namespace {

std::atomic<uint32_t> receive_generation{0};

// A write that makes no progress within this time counts as stalled...
constexpr uint32_t kWriteStallMs = 1000;
// ...and after this many stalls in a row the write fails.
constexpr int kMaxWriteStalls = 3;

// Time the line needs for `bytes` at 115200 baud, 10 bits a byte, at least 1 ms.
uint32_t LineTimeMs(int bytes) {
  const uint32_t ms = static_cast<uint32_t>(bytes) * 10u * 1000u / 115200u;
  return ms < 1 ? 1 : (ms > 100 ? 100 : ms);
}

int QueuedOutput(PortHandle handle) {
  int queued = 0;
  if (ioctl(handle, TIOCOUTQ, &queued) != 0) return 0;
  return queued;
}

// Waits until the output queue is empty. A pty empties it at once; a USB serial
// device takes the line time. Sleeps for the time the queued bytes need.
bool DrainOutput(PortHandle handle) {
  int stalls = 0;
  int last = QueuedOutput(handle);
  Deadline stall_deadline = Deadline::AfterMs(kWriteStallMs);
  while (last > 0) {
    if (!SleepUntil(Deadline::At(Clock::now() + std::chrono::milliseconds(LineTimeMs(last))))) return false;
    const int now = QueuedOutput(handle);
    if (now < last) {
      stall_deadline = Deadline::AfterMs(kWriteStallMs);
    } else if (stall_deadline.Passed()) {
      if (++stalls >= kMaxWriteStalls) return false;
      stall_deadline = Deadline::AfterMs(kWriteStallMs);
    }
    last = now;
  }
  return true;
}

}  // namespace

PortHandle OpenSerialDevice(uint32_t number, PortShare share) {
  const auto path = ResolvePortNumber(number);
  if (!path) return kInvalidPort;
  const int fd = open(path->c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    ReportOpenFailure(*path, errno);
    return kInvalidPort;
  }
  // Port names are untrusted: only a terminal device is ever used as a port.
  struct stat st {};
  termios probe {};
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || tcgetattr(fd, &probe) != 0) {
    close(fd);
    ReportOpenFailure(*path, ENOTTY);
    return kInvalidPort;
  }
  // A device's name is free for the next device once it has gone: on a tray, another
  // module coming back from a restart may take it between the lookup and the open.
  // The device opened is this port only while the number still names it.
  if (ResolvePortNumber(number) != path) {
    close(fd);
    ReportOpenFailure(*path, ENODEV);
    return kInvalidPort;
  }
  if (share == PortShare::kExclusive) {
    int error = 0;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      error = errno;  // EWOULDBLOCK: another program holds the lock
    } else if (ioctl(fd, TIOCEXCL) != 0) {
      error = errno;
    }
    if (error != 0) {
      close(fd);
      ReportOpenFailure(*path, error);
      return kInvalidPort;
    }
  }
  return fd;
}

void CloseSerialDevice(PortHandle handle, PortShare share) {
  if (handle == kInvalidPort) return;
  if (share == PortShare::kExclusive) {
    // On a pty whose other side stays open, exclusivity outlives the close.
    ioctl(handle, TIOCNXCL);
    flock(handle, LOCK_UN);
  }
  close(handle);
}

bool PortHungUp(PortHandle handle) {
  if (handle == kInvalidPort) return false;
  pollfd p{handle, POLLIN, 0};
  int ready;
  do {
    ready = poll(&p, 1, 0);
  } while (ready < 0 && errno == EINTR);
  if (ready == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return true;
  termios tio {};
  return tcgetattr(handle, &tio) != 0 && (errno == EIO || errno == ENODEV || errno == EBADF);
}

bool OpenDiagPort(uint32_t number) {
  PortHandle held = DiagPort.load();
  if (held != kInvalidPort && !PortHungUp(held)) return true;
  // The device has gone: its descriptor is worthless; let go of it (unless
  // another thread closed it meanwhile) and look the number up again.
  if (held != kInvalidPort && DiagPort.compare_exchange_strong(held, kInvalidPort)) {
    receive_generation.fetch_add(1);
    close(held);
  }
  if (DiagPort.load() != kInvalidPort) return true;  // opened by another thread meanwhile
  const PortHandle handle = OpenSerialDevice(number, PortShare::kShared);
  DiagPort.store(handle);
  if (handle == kInvalidPort) return false;
  receive_generation.fetch_add(1);
  ConfigurePort(handle);
  return true;
}

bool ConfigurePort(PortHandle handle) {
  if (handle == kInvalidPort) return false;
  termios tio {};
  if (tcgetattr(handle, &tio) == 0) {
    cfmakeraw(&tio);
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    tio.c_cflag &= ~(PARENB | CSTOPB | CSIZE | CRTSCTS | HUPCL);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK | ISTRIP);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    tcsetattr(handle, TCSANOW, &tio);
  }
  int lines = TIOCM_DTR | TIOCM_RTS;
  ioctl(handle, TIOCMBIC, &lines);  // a pty has no modem lines; that is fine
  const int flags = fcntl(handle, F_GETFL);
  if (flags >= 0) fcntl(handle, F_SETFL, flags | O_NONBLOCK);
  tcflush(handle, TCIFLUSH);
  PurgeTransmit(handle);
  return true;
}

int WritePort(PortHandle handle, const uint8_t* data, int count) {
  if (handle == kInvalidPort || data == nullptr || count <= 0) return 0;
  int written = 0;
  int stalls = 0;
  while (written < count) {
    const ssize_t n = write(handle, data + written, static_cast<size_t>(count - written));
    if (n > 0) {
      written += static_cast<int>(n);
      stalls = 0;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return 0;
    switch (WaitForOutput(handle, Deadline::AfterMs(kWriteStallMs))) {
      case WaitResult::kReady:
        break;
      case WaitResult::kTimeout:
        if (++stalls >= kMaxWriteStalls) return 0;
        break;
      case WaitResult::kStopped:
      case WaitResult::kHungUp:
        return 0;
    }
  }
  return DrainOutput(handle) ? written : 0;
}

int ReadPort(PortHandle handle, uint8_t* buffer, int wanted) {
  if (handle == kInvalidPort || buffer == nullptr || wanted <= 0) return 0;
  for (;;) {
    const ssize_t n = read(handle, buffer, static_cast<size_t>(wanted));
    if (n > 0) return static_cast<int>(n);
    if (n < 0 && errno == EINTR) continue;
    return 0;
  }
}

void PurgeTransmit(PortHandle handle) {
  if (handle == kInvalidPort) return;
  // On a pty a transmit flush also throws away bytes the other side has not read
  // yet; only output that is still queued here may be discarded.
  if (QueuedOutput(handle) > 0) tcflush(handle, TCOFLUSH);
}

void PurgeDiagPort(int selector) {
  const PortHandle handle = DiagPort.load();
  if (selector == kPurgeReceive) {
    // Counted once the bytes are gone: whoever sees the new count may send more.
    if (handle != kInvalidPort) tcflush(handle, TCIFLUSH);
    receive_generation.fetch_add(1);
  } else if (selector == kPurgeTransmit) {
    PurgeTransmit(handle);
  }
}

void CloseDiagPort() {
  const PortHandle handle = DiagPort.exchange(kInvalidPort);
  if (handle == kInvalidPort) return;
  receive_generation.fetch_add(1);
  close(handle);
}

uint32_t DiagReceiveGeneration() { return receive_generation.load(); }

}  // namespace vek
