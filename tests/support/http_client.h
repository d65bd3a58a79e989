// A bare HTTP client over a loopback socket, for the pages' tests: what is sent
// is exactly what the test writes, and every wait is in poll(), at most 10 s a call.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace vektest {

inline const std::string kToTheEnd(1, '\0');  // a needle no reply holds

struct Peer {
  explicit Peer(uint16_t port, uint32_t from = INADDR_LOOPBACK) {  // a failed connect shows as a close
    sockaddr_in own{AF_INET, 0, {htonl(from)}, {}};  // another client: 127.0.0.2, ...
    if (from != INADDR_LOOPBACK) bind(fd, reinterpret_cast<sockaddr*>(&own), sizeof own);
    sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  ~Peer() { close(fd); }
  // Sends `bytes`, then reads until `needle` came (dropping what came up to its end when `take`).
  bool Talk(const std::string& bytes, const std::string& needle, bool take = false) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    auto wait = [&](short events) {
      pollfd ready{fd, events, 0};
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count();
      return left > 0 && poll(&ready, 1, static_cast<int>(left)) > 0;
    };
    for (ssize_t sent = 0, n = 0; sent < std::ssize(bytes); sent += n)
      if (!wait(POLLOUT) || (n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL)) <= 0) return false;
    char chunk[65536];
    for (ssize_t n = 0; in.find(needle) == std::string::npos; in.append(chunk, static_cast<size_t>(n)))
      if (!wait(POLLIN) || (n = recv(fd, chunk, sizeof chunk, 0)) <= 0) return false;
    if (take) in.erase(0, in.find(needle) + needle.size());
    return true;
  }
  std::string Fetch(const std::string& request) {  // the whole reply, to the close
    Talk(request, kToTheEnd);
    return in;
  }
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  std::string in;
};

}  // namespace vektest
