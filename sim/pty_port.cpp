#include "sim/pty_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sim {
namespace {

void MakeRaw(int fd) {
  termios tio {};
  if (tcgetattr(fd, &tio) != 0) return;
  cfmakeraw(&tio);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  tcsetattr(fd, TCSANOW, &tio);
}

}  // namespace

bool PtyPort::Open(std::string* error) {
  Close();
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    if (error) *error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
    Close();
    return false;
  }
  char name[128] = {};
  if (ptsname_r(master_, name, sizeof name) != 0) {
    if (error) *error = "ptsname failed";
    Close();
    return false;
  }
  path_ = name;
  slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (slave_ < 0) {
    if (error) *error = "cannot open " + path_;
    Close();
    return false;
  }
  MakeRaw(slave_);
  MakeRaw(master_);
  return true;
}

int PtyPort::Unread() const {
  if (slave_ < 0) return 0;
  // Bytes written to the master reach the slave's queue a moment later, handed
  // over by the kernel's own worker; a poll of the slave waits for that hand-over,
  // so none are missed that are still on their way.
  pollfd p{slave_, POLLIN, 0};
  if (poll(&p, 1, 0) <= 0) return 0;
  int queued = 0;
  if (ioctl(slave_, FIONREAD, &queued) != 0) return 0;
  return queued;
}

void PtyPort::Close() {
  if (slave_ >= 0) close(slave_);
  if (master_ >= 0) close(master_);
  slave_ = master_ = -1;
  path_.clear();
}

}  // namespace sim
