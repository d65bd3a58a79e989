#include "web/http_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <set>
#include <stop_token>
#include <string_view>
#include <thread>
#include <vector>

namespace vekweb {
namespace {

// The page inlines its CSS and script, and draws small images as data: URLs;
// nothing is ever loaded from another origin.
constexpr const char* kContentSecurityPolicy =
    "default-src 'self'; img-src 'self' data:; style-src 'self' 'unsafe-inline'; script-src 'self' 'unsafe-inline'";
// Often enough that a stream is never the idle connection the limits close, and
// that a client gone without a word is found out by a write that fails.
constexpr std::chrono::seconds kKeepAlivePeriod{10};
constexpr const char* kKeepAlive = ": keep-alive\n\n";
// Room in a connection's memory beside the request itself: the reply's headers
// and the buffer a stream's bytes go out through.
constexpr size_t kReplyRoom = 4 * 1024;
// Descriptors kept for the program's own files (ports, pipes to its jobs, its
// database, its log) beside the connections: a process out of them fails at
// every open, not only at the next accept.
constexpr rlim_t kOwnFiles = 128;
constexpr const char* kOtherHost =
    "this server answers only to its own names: localhost, the address it was reached at, its host name\n";
constexpr const char* kNulInTarget = "a NUL (%00) in the path or the query is refused\n";

std::string ErrorText(int error) {
  char buffer[256];
  std::string text = strerror_r(error, buffer, sizeof buffer);  // GNU: may return a static text
  if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  return text;
}

struct ListenAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;
  bool v6 = false;
  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

// "A.B.C.D:PORT" or "[V6]:PORT", numbers only: this names an interface of this
// machine, so nothing is looked up by name.
bool ParseAddress(const std::string& text, ListenAddress& out) {
  std::string host;
  std::string port;
  if (!text.empty() && text[0] == '[') {
    const size_t close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') return false;
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
    out.v6 = true;
  } else {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    host = text.substr(0, colon);
    port = text.substr(colon + 1);  // an IPv6 address without its brackets fails as IPv4 below
  }
  if (port.empty() || port.size() > 5 ||
      !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  const unsigned long number = std::stoul(port);
  if (number > 65535) return false;
  if (out.v6) {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&out.storage);
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(number));
    if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) != 1) return false;
    out.length = sizeof(sockaddr_in6);
  } else {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&out.storage);
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(number));
    if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) != 1) return false;
    out.length = sizeof(sockaddr_in);
  }
  return true;
}

// libmicrohttpd says only that it did not start; binding the same address once
// more, as it does (SO_REUSEADDR, v6 only), says why in words.
std::string WhyNotListening(const ListenAddress& address) {
  const int fd = socket(address.get()->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return ErrorText(errno);
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (address.v6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  std::string reason;
  if (bind(fd, address.get(), address.length) != 0)
    reason = ErrorText(errno);
  else if (listen(fd, 1) != 0)
    reason = ErrorText(errno);
  else
    reason = "the HTTP server did not start";
  close(fd);
  return reason;
}

// One event; DATA is one line by contract, but a line break in it would end the
// event early and let the rest pose as fields of its own: each line goes as a
// "data:" line of its own, which the browser joins back with "\n".
std::string FormatEvent(const std::string& name, const std::string& data) {
  std::string event = "event: ";
  for (char c : name) event += (c == '\r' || c == '\n') ? ' ' : c;
  event += "\ndata: ";
  for (size_t i = 0; i < data.size(); ++i) {
    if (data[i] == '\r' || data[i] == '\n') {
      if (data[i] == '\r' && i + 1 < data.size() && data[i + 1] == '\n') ++i;
      event += "\ndata: ";
    } else {
      event += data[i];
    }
  }
  event += "\n\n";
  return event;
}

void AddCommonHeaders(MHD_Response* response, const std::string& content_type, bool cache) {
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, content_type.c_str());
  MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
  MHD_add_response_header(response, "Content-Security-Policy", kContentSecurityPolicy);
  MHD_add_response_header(response, "Referrer-Policy", "no-referrer");
  if (!cache) MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
}

MHD_Result QueueReply(MHD_Connection* connection, const Reply& reply, const char* allow = nullptr) {
  MHD_Response* response = MHD_create_response_from_buffer(
      reply.body.size(), const_cast<char*>(reply.body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  AddCommonHeaders(response, reply.content_type, reply.cache);
  if (allow != nullptr) MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, allow);
  // A name of the program's own, never one taken from a request.
  if (!reply.attachment.empty())
    MHD_add_response_header(response, "Content-Disposition",
                            ("attachment; filename=\"" + reply.attachment + "\"").c_str());
  // A status a handler got wrong must not become a line of the protocol it is not.
  const unsigned status = reply.status >= 200 && reply.status <= 599 ? static_cast<unsigned>(reply.status) : 500;
  const MHD_Result queued = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return queued;
}

Reply PlainReply(int status, const char* text) {
  Reply reply;
  reply.status = status;
  reply.body = text;
  return reply;
}

// The connections the process can hold: at most `wanted`, and below the files it may open.
unsigned ConnectionsWithin(unsigned wanted) {
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur == RLIM_INFINITY) return wanted;
  const rlim_t room = std::max(kOwnFiles, files.rlim_cur / 8);
  const rlim_t fit = files.rlim_cur > room + 16 ? files.rlim_cur - room : 16;
  return static_cast<unsigned>(std::min<rlim_t>(wanted, fit));
}

// An address as text; IPv4 as IPv4 also when it came in on an IPv6 socket.
std::string AddressText(const sockaddr_storage& address) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&address)->sin_addr, text, sizeof text);
  } else if (address.ss_family == AF_INET6) {
    const in6_addr& v6 = reinterpret_cast<const sockaddr_in6*>(&address)->sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&v6))
      inet_ntop(AF_INET, &v6.s6_addr[12], text, sizeof text);
    else
      inet_ntop(AF_INET6, &v6, text, sizeof text);
  }
  return text;
}

// The name a Host header gives: without its port or a final dot, in lower case,
// an IP address spelt as AddressText spells it.
std::string HostName(std::string_view host) {
  if (host.starts_with('[')) {
    const size_t close = host.find(']');
    host = close == std::string_view::npos ? std::string_view() : host.substr(1, close - 1);
  } else {
    host = host.substr(0, host.find(':'));
  }
  std::string name(host);
  if (name.ends_with('.')) name.pop_back();
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  sockaddr_storage address{};
  if (inet_pton(AF_INET, name.c_str(), &reinterpret_cast<sockaddr_in*>(&address)->sin_addr) == 1)
    address.ss_family = AF_INET;
  else if (inet_pton(AF_INET6, name.c_str(), &reinterpret_cast<sockaddr_in6*>(&address)->sin6_addr) == 1)
    address.ss_family = AF_INET6;
  return address.ss_family != 0 ? AddressText(address) : name;
}

// Whether a request's Host names this machine. A browser sends the name of the
// page's site: a site whose name was made to point here (DNS rebinding) sends
// its own and is refused. A request without one (HTTP/1.0: a script, never a
// browser) names nothing else.
bool OwnHost(MHD_Connection* connection, const std::string& machine_name) {
  const char* host = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST);
  if (host == nullptr) return true;
  const std::string name = HostName(host);
  if (name.empty()) return false;
  if (name == "localhost" || name == machine_name) return true;
  const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
  sockaddr_storage local{};
  socklen_t length = sizeof local;
  if (info == nullptr || getsockname(info->connect_fd, reinterpret_cast<sockaddr*>(&local), &length) != 0)
    return false;
  return name == AddressText(local);
}

// libmicrohttpd hands on the path and the query's values with their %-escapes
// undone, where a %00 would end them early ("/healthz%00/../.." reads "/healthz"):
// the target as sent is looked at first, and the answer kept as the request's
// context (`cls`, the server, when it holds one).
void* LookAtTarget(void* cls, const char* uri, MHD_Connection*) {
  return uri != nullptr && std::strstr(uri, "%00") != nullptr ? cls : nullptr;
}

MHD_Result CollectArgument(void* cls, MHD_ValueKind, const char* key, const char* value) {
  if (key != nullptr) static_cast<std::map<std::string, std::string>*>(cls)->emplace(key, value ? value : "");
  return MHD_YES;
}

}  // namespace

struct HttpServer::Impl {
  // One client's event stream. Its bytes wait in `queue` until libmicrohttpd
  // asks for them; with nothing to send the connection is suspended (a reader
  // that returned 0 unsuspended would be asked again at once, a busy loop) and
  // whoever queues bytes resumes it.
  struct Stream {
    Impl* server;
    MHD_Connection* connection;
    int fd;
    std::string queue;       // under server->mutex, like the flags
    bool suspended = false;  // suspended by ReadStream, not yet resumed by us
    bool dead = false;       // past its backlog or stopping: ends at the next read
  };

  std::map<std::string, Handler> routes;
  std::map<std::string, std::function<std::string()>> event_streams;
  ServerLimits limits;
  MHD_Daemon* daemon = nullptr;
  uint16_t port = 0;
  std::string machine_name;  // lower case, as HostName compares

  mutable std::mutex mutex;
  std::set<Stream*> streams;  // open ones, owned; each freed by libmicrohttpd's FreeStream
  bool stopping = false;

  std::mutex tick_mutex;
  std::condition_variable_any tick;
  std::jthread keep_alive;

  // Queues `bytes` on every open stream, under `mutex`; returns the connections
  // to resume, which the caller resumes after letting go of it.
  std::vector<MHD_Connection*> QueueOnAll(const std::string& bytes) {
    std::vector<MHD_Connection*> wake;
    for (Stream* stream : streams) {
      if (stream->dead) continue;
      if (stream->queue.size() + bytes.size() > limits.stream_backlog) {
        // Its client does not read. Keeping the bytes would let one stalled
        // browser take our memory; the connection goes instead. A suspended
        // one ends at its next read; one that waits for its socket to drain
        // would wait until the idle limit, so its socket is shut down now,
        // which wakes libmicrohttpd to a failed write. The fd is still the
        // connection's: libmicrohttpd frees the stream (under `mutex`) before
        // it closes the socket.
        stream->dead = true;
        std::string().swap(stream->queue);
        if (!stream->suspended && stream->fd >= 0) shutdown(stream->fd, SHUT_RDWR);
      } else {
        stream->queue += bytes;
      }
      if (stream->suspended) {
        stream->suspended = false;
        wake.push_back(stream->connection);
      }
    }
    return wake;
  }

  // A connection we flagged as no longer suspended stays suspended in
  // libmicrohttpd until this call, so it cannot have been closed meanwhile.
  static void Resume(const std::vector<MHD_Connection*>& connections) {
    for (MHD_Connection* connection : connections) MHD_resume_connection(connection);
  }

  void Queue(const std::string& bytes) {
    std::vector<MHD_Connection*> wake;
    {
      std::lock_guard lock(mutex);
      wake = QueueOnAll(bytes);
    }
    Resume(wake);
  }

  static ssize_t ReadStream(void* cls, uint64_t, char* buffer, size_t max) {
    auto* stream = static_cast<Stream*>(cls);
    std::lock_guard lock(stream->server->mutex);
    if (stream->dead || stream->server->stopping) return MHD_CONTENT_READER_END_WITH_ERROR;
    if (stream->queue.empty()) {
      // Under the lock, so that no one resumes it before it is suspended.
      stream->suspended = true;
      MHD_suspend_connection(stream->connection);
      return 0;
    }
    const size_t count = std::min(max, stream->queue.size());
    std::memcpy(buffer, stream->queue.data(), count);
    stream->queue.erase(0, count);
    return static_cast<ssize_t>(count);
  }

  static void FreeStream(void* cls) {
    auto* stream = static_cast<Stream*>(cls);
    {
      std::lock_guard lock(stream->server->mutex);
      stream->server->streams.erase(stream);
    }
    delete stream;
  }

  MHD_Result OpenStream(MHD_Connection* connection, const std::function<std::string()>& hello) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    auto* stream = new Stream{this, connection, info != nullptr ? info->connect_fd : -1};
    {
      std::lock_guard lock(mutex);
      if (stopping) {
        delete stream;
        return MHD_NO;
      }
      streams.insert(stream);
    }
    // Registered before `hello` looks at the state: an event published
    // meanwhile comes after the hello, maybe once more than needed, never lost.
    // `hello` runs without our lock, so it may take locks a publisher holds.
    std::string first;
    try {
      first = hello();
    } catch (...) {
      // No hello, then: the events still come, and the page asks again on its next reload.
    }
    {
      std::lock_guard lock(mutex);
      stream->queue.insert(0, first);
    }
    MHD_Response* response =
        MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 4096, &ReadStream, stream, &FreeStream);
    if (response == nullptr) {
      FreeStream(stream);
      return MHD_NO;
    }
    AddCommonHeaders(response, "text/event-stream", false);
    const MHD_Result queued = MHD_queue_response(connection, MHD_HTTP_OK, response);
    MHD_destroy_response(response);  // the connection holds it now; if it was refused, this frees the stream
    return queued;
  }

  static MHD_Result OnRequest(void* cls, MHD_Connection* connection, const char* url, const char* method,
                              const char*, const char*, size_t*, void** context) {
    auto* self = static_cast<Impl*>(cls);
    if (!OwnHost(connection, self->machine_name)) return QueueReply(connection, PlainReply(421, kOtherHost));
    if (*context == self) return QueueReply(connection, PlainReply(400, kNulInTarget));
    const bool head = std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
    if (!head && std::strcmp(method, MHD_HTTP_METHOD_GET) != 0)
      return QueueReply(connection, PlainReply(405, "method not allowed\n"), "GET, HEAD");
    // `url` is the path alone, its %-escapes undone; it names a route or nothing.
    const std::string path = url != nullptr ? url : "";
    if (auto route = self->routes.find(path); route != self->routes.end()) {
      Request request;
      request.path = path;
      MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, &CollectArgument, &request.query);
      Reply reply;
      try {
        reply = route->second(request);
      } catch (...) {
        reply = PlainReply(500, "internal error\n");
      }
      return QueueReply(connection, reply);
    }
    if (auto events = self->event_streams.find(path); events != self->event_streams.end()) {
      if (head) {
        Reply reply;
        reply.content_type = "text/event-stream";
        return QueueReply(connection, reply);
      }
      return self->OpenStream(connection, events->second);
    }
    return QueueReply(connection, PlainReply(404, "not found\n"));
  }

  void KeepAlive(std::stop_token stop) {
    std::unique_lock lock(tick_mutex);
    while (!stop.stop_requested()) {
      tick.wait_for(lock, stop, kKeepAlivePeriod, [] { return false; });
      if (stop.stop_requested()) break;
      lock.unlock();
      Queue(kKeepAlive);
      lock.lock();
    }
  }

  void Stop() {
    if (keep_alive.joinable()) {
      keep_alive.request_stop();
      keep_alive.join();
    }
    if (daemon == nullptr) return;
    // libmicrohttpd must not be stopped with a connection suspended: every
    // stream is resumed, and ends at its next read instead of suspending again.
    std::vector<MHD_Connection*> wake;
    {
      std::lock_guard lock(mutex);
      stopping = true;
      for (Stream* stream : streams) {
        stream->dead = true;
        if (stream->suspended) {
          stream->suspended = false;
          wake.push_back(stream->connection);
        }
      }
    }
    Resume(wake);
    MHD_stop_daemon(daemon);
    daemon = nullptr;
  }
};

HttpServer::HttpServer() : impl_(std::make_unique<Impl>()) {}

HttpServer::~HttpServer() { impl_->Stop(); }

void HttpServer::Route(const std::string& path, Handler handler) {
  if (impl_->daemon == nullptr) impl_->routes[path] = std::move(handler);
}

void HttpServer::EventStream(const std::string& path, std::function<std::string()> hello) {
  if (impl_->daemon == nullptr) impl_->event_streams[path] = std::move(hello);
}

bool HttpServer::Start(const std::string& address, std::string& reason, const ServerLimits& limits) {
  if (impl_->daemon != nullptr) {
    reason = "already listening";
    return false;
  }
  ListenAddress listen;
  if (!ParseAddress(address, listen)) {
    reason = "not ADDR:PORT: " + address;
    return false;
  }
  impl_->limits = limits;
  impl_->limits.connections = ConnectionsWithin(limits.connections);
  char machine[256] = {};
  if (gethostname(machine, sizeof machine - 1) == 0) impl_->machine_name = HostName(machine);
  unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME;  // no MHD_USE_ERROR_LOG: quiet
  if (listen.v6) flags |= MHD_USE_IPv6;
  const uint16_t wanted = ntohs(listen.v6 ? reinterpret_cast<const sockaddr_in6*>(listen.get())->sin6_port
                                          : reinterpret_cast<const sockaddr_in*>(listen.get())->sin_port);
  impl_->daemon = MHD_start_daemon(
      flags, wanted, nullptr, nullptr, &Impl::OnRequest, impl_.get(), MHD_OPTION_SOCK_ADDR, listen.get(),
      MHD_OPTION_CONNECTION_LIMIT, impl_->limits.connections, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
      limits.per_client, MHD_OPTION_CONNECTION_TIMEOUT, limits.idle_seconds, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
      limits.request_bytes + kReplyRoom, MHD_OPTION_LISTEN_BACKLOG_SIZE, std::max(impl_->limits.connections, 16u),
      MHD_OPTION_URI_LOG_CALLBACK, &LookAtTarget, impl_.get(), MHD_OPTION_END);
  if (impl_->daemon == nullptr) {
    reason = WhyNotListening(listen);
    return false;
  }
  const MHD_DaemonInfo* info = MHD_get_daemon_info(impl_->daemon, MHD_DAEMON_INFO_BIND_PORT);
  impl_->port = info != nullptr && info->port != 0 ? info->port : wanted;
  impl_->keep_alive = std::jthread([impl = impl_.get()](std::stop_token stop) { impl->KeepAlive(stop); });
  return true;
}

void HttpServer::Publish(const std::string& name, const std::string& data) {
  impl_->Queue(FormatEvent(name, data));
}

uint16_t HttpServer::port() const { return impl_->port; }

unsigned HttpServer::connections() const { return impl_->limits.connections; }

size_t HttpServer::streams() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->streams.size();
}

}  // namespace vekweb
