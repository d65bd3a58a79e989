// One GET over a raw loopback socket, as a benchmark times a page: HTTP/1.0,
// so that the server ends the reply by closing and nothing is chunked; the
// reply is read to its end, every wait in poll() within the request's limit.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "bench_support.h"

namespace bench {

struct HttpReply {
  int status = 0;       // 0: no reply (`error` says why)
  std::string head;     // the status line and the headers
  std::string body;     // its first kBodyKept bytes
  uint64_t bytes = 0;   // all of it, head and body
  double seconds = 0;   // from the connect to the close
  std::string error;

  static constexpr size_t kBodyKept = 4096;
};

// A free port of the loopback for a server to listen on: the kernel's choice,
// given back at once (another program could take it meanwhile; none here does).
inline uint16_t FreeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof address;
  uint16_t port = 0;
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  if (fd >= 0) close(fd);
  return port;
}

// GET `target` ("/jobs?page=2") from 127.0.0.1:`port`, in at most `limit_ms`.
inline HttpReply HttpGet(uint16_t port, const std::string& target, int limit_ms) {
  HttpReply reply;
  const auto start = Clock::now();
  const auto until = start + std::chrono::milliseconds(limit_ms);
  // Waits for `events` within what is left of the limit.
  auto ready = [&](int fd, short events) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
    pollfd one{fd, events, 0};
    int n = 0;
    while (left > 0 && (n = poll(&one, 1, static_cast<int>(left))) < 0 && errno == EINTR) {
    }
    return n > 0;
  };
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    reply.error = std::string("socket: ") + std::strerror(errno);
    return reply;
  }
  sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
  int error = 0;
  socklen_t length = sizeof error;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 &&
      (errno != EINPROGRESS || !ready(fd, POLLOUT) || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 ||
       error != 0)) {
    reply.error = std::string("connect: ") + std::strerror(error ? error : errno);
    close(fd);
    return reply;
  }
  const std::string request = "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
  for (size_t sent = 0; sent < request.size();) {
    const ssize_t n = ready(fd, POLLOUT) ? send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL) : 0;
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
      reply.error = n == 0 ? "the request could not be sent in time" : std::string("send: ") + std::strerror(errno);
      close(fd);
      return reply;
    }
  }
  constexpr size_t kKept = 65536 + HttpReply::kBodyKept;  // a head of up to 64 KiB and the body's start
  std::string start_of_reply;
  char chunk[65536];
  for (;;) {
    if (!ready(fd, POLLIN)) {
      reply.error = "no end of the reply within " + std::to_string(limit_ms) + " ms";
      break;
    }
    const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      reply.error = std::string("recv: ") + std::strerror(errno);
      break;
    }
    reply.bytes += static_cast<uint64_t>(n);
    start_of_reply.append(chunk, std::min(static_cast<size_t>(n), kKept - std::min(start_of_reply.size(), kKept)));
  }
  reply.seconds = SecondsSince(start);
  close(fd);
  const size_t head_end = start_of_reply.find("\r\n\r\n");
  reply.head = start_of_reply.substr(0, head_end);
  if (head_end != std::string::npos) reply.body = start_of_reply.substr(head_end + 4, HttpReply::kBodyKept);
  int status = 0;
  if (reply.error.empty() && std::sscanf(reply.head.c_str(), "HTTP/%*d.%*d %d", &status) == 1) reply.status = status;
  else if (reply.error.empty()) reply.error = "not an HTTP reply";
  return reply;
}

}  // namespace bench
