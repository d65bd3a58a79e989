// A small read-only HTTP server for our pages (vek-factory's tray, vek-report's
// line), on libmicrohttpd: its own thread polls every connection, so neither a
// page nor a stalled client ever waits on the caller's thread, and the caller
// never waits on a client. GET and HEAD only, on exact paths the program routes:
// no file is ever served by a path taken from the request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace vekweb {

struct Request {
  std::string path;                          // as sent, without the query
  std::map<std::string, std::string> query;  // ?key=value&..., decoded
};

struct Reply {
  int status = 200;
  std::string content_type = "text/plain; charset=utf-8";
  std::string body;
  bool cache = false;  // false: "Cache-Control: no-store" (live data); true: the page's own assets
  std::string attachment;  // not empty: the browser saves the body as a file of this name
};

struct ServerLimits {
  unsigned connections = 1200;            // open at once, event streams included; kept below the files the process may open
  unsigned per_client = 32;               // open at once from one address, so that one client cannot hold them all
  unsigned idle_seconds = 30;             // a connection silent this long is closed (streams get a comment every 10 s)
  size_t request_bytes = 16 * 1024;       // request line and headers; past it the request is refused
  size_t stream_backlog = 256 * 1024;     // bytes waiting for one stream's client; past it that stream is closed
};

class HttpServer {
 public:
  using Handler = std::function<Reply(const Request&)>;
  HttpServer();
  ~HttpServer();  // stops: every connection closed, the thread joined
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Before Start: `handler` answers GET `path` (exact). Called on the server's thread.
  void Route(const std::string& path, Handler handler);
  // Before Start: Server-Sent Events at `path`. A new stream first gets what
  // `hello` returns (whole events, "event: ...\ndata: ...\n\n", the state as it
  // is now; called on the server's thread), then every Publish.
  void EventStream(const std::string& path, std::function<std::string()> hello);
  // Listens on "ADDR:PORT" ("127.0.0.1:8750", "[::1]:8750", "0.0.0.0:8750"; port 0:
  // any free one). False and `reason` (in words, for the operator) when it cannot.
  // A request is answered only when its Host names this machine: "localhost", the
  // address it came in on, or the machine's host name; any other name (a page of
  // another site whose name now points here) gets 421.
  bool Start(const std::string& address, std::string& reason, const ServerLimits& limits = {});
  // One event to every open stream ("event: NAME\ndata: DATA\n\n"; DATA one line).
  // Never blocks: it only queues; a stream whose client does not read is closed.
  void Publish(const std::string& name, const std::string& data);
  // The port it listens on (after Start), and how many event streams are open.
  uint16_t port() const;
  size_t streams() const;
  // The connections it holds at once: the limit asked for, or less to stay below the files the process may open.
  unsigned connections() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vekweb
