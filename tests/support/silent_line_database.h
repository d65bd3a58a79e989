// A line database that takes connections (the kernel completes them) and never
// answers: what a stalled server or a firewall that swallows packets looks like.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace vektest {

class SilentLineDatabase {
 public:
  SilentLineDatabase() {
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0 && listen(fd_, 16) == 0 &&
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
      port_ = ntohs(address.sin_port);
  }
  ~SilentLineDatabase() { close(fd_); }
  // `extra`: more of the connection string (" user=vek password=...").
  std::string ConnectionString(const std::string& extra = {}) const {
    return "host=127.0.0.1 port=" + std::to_string(port_) + " dbname=line" + extra;
  }
  bool listening() const { return port_ != 0; }

 private:
  int fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int port_ = 0;
};

}  // namespace vektest
