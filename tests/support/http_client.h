// A bare HTTP client over a loopback socket, for the pages' tests: what is sent
// is exactly what the test writes, and every read waits in poll(), bounded.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace vektest {

class HttpClient {
 public:
  explicit HttpClient(uint16_t port) : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) Close();
  }
  ~HttpClient() { Close(); }
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  bool connected() const { return fd_ >= 0; }
  bool Send(const std::string& bytes) {
    return fd_ >= 0 && send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }
  // Reads until `done(all read so far)`, the peer closes, or `limit` passes.
  std::string ReadUntil(const std::function<bool(const std::string&)>& done,
                        std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (fd_ >= 0 && !done(read_)) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
      pollfd ready{fd_, POLLIN, 0};
      if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0) break;
      char chunk[4096];
      const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
      if (n <= 0) {
        closed_ = true;
        break;
      }
      read_.append(chunk, static_cast<size_t>(n));
    }
    return read_;
  }
  // A whole reply to one request on a fresh connection ("Connection: close").
  std::string Get(const std::string& target) {
    Send("GET " + target + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    return ReadUntil([](const std::string&) { return false; });
  }
  bool closed() const { return closed_; }

 private:
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  int fd_;
  std::string read_;
  bool closed_ = false;
};

}  // namespace vektest
