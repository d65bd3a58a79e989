#include "web/http_server.h"

#include "http_client.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <vector>

namespace vekweb {
namespace {

using vektest::Peer;

const std::string kPage = "<!doctype html><title>tray</title>", kHello = "event: hello\ndata: ready\n\n";
const std::string kStreamRequest = "GET /api/events HTTP/1.0\r\n\r\n";  // 1.0: the events come unchunked
const std::string kHeaders = " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
std::string Get(const std::string& target) { return "GET " + target + kHeaders + "\r\n"; }
std::string GetAs(const std::string& host) { return "GET / HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n"; }

std::string Status(const std::string& reply) { return reply.rfind("HTTP/1.1 ", 0) == 0 ? reply.substr(9, 3) : ""; }
std::string Body(const std::string& reply) { return reply.substr(std::min(reply.size(), reply.find("\r\n\r\n") + 4)); }
template <typename Done>
bool WaitFor(Done done) {
  for (int i = 0; i < 1000 && !done(); ++i) poll(nullptr, 0, 10);
  return done();
}

class HttpServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rlimit files{};  // both ends of each connection are in this process; the server keeps below the limit
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < 2200) {
      files.rlim_cur = std::min<rlim_t>(files.rlim_max, 2200);
      setrlimit(RLIMIT_NOFILE, &files);
    }
    server_.Route("/", [](const Request&) { return Reply{200, "text/html; charset=utf-8", kPage, true}; });
    server_.Route("/api/x", [](const Request& request) {  // throws without ?name
      return Reply{200, "application/json", "{\"name\":\"" + request.query.at("name") + "\"}"};
    });
    server_.EventStream("/api/events", [] { return kHello; });
    std::string reason;
    ASSERT_TRUE(server_.Start("127.0.0.1:0", reason)) << reason;
  }
  HttpServer server_;
};

TEST_F(HttpServerTest, HostileRequestsGetOnlyTheRoutedBodies) {
  const std::string kNotFound = "404 not found\n", kNul = "400 a NUL (%00) in the path or the query is refused\n",
                    kOtherHost = "421 this server answers only to its own names: localhost, the address it was "
                                 "reached at, its host name\n";
  const struct {
    std::string request, want;  // status and body; "": refused, by an error status or a close
    bool cached = false;
  } cases[] = {
      {Get("/../../etc/passwd"), kNotFound}, {Get("/%2e%2e/%2e%2e/etc/passwd"), kNotFound},
      {Get("/..%2f..%2fetc%2fpasswd"), kNotFound}, {Get("//etc/passwd"), kNotFound},
      {Get("/?format=../../x"), "200 " + kPage, true}, {"HEAD /" + kHeaders + "\r\n", "200 ", true},
      {Get("/api/x?name=a%20b%2Fc&name=d"), "200 {\"name\":\"a b/c\"}"}, {Get("/api/x"), "500 internal error\n"},
      {"POST /" + kHeaders + "Content-Length: 3\r\n\r\nabc", "405 method not allowed\n"},
      {"GET /" + kHeaders + "X-Big: " + std::string(1 << 20, 'a') + "\r\n\r\n", ""},
      {"\x16\x03\x01\xfe\xff garbage \x7f\r\n\r\n", ""},
      {Get("/%00/../.."), kNul}, {Get("/api/x?name=a%00b"), kNul}, {Get("/api/x?name%00=a"), kNul},
      {GetAs("evil.example"), kOtherHost}, {GetAs("evil.example:8750"), kOtherHost}, {GetAs("[::1]"), kOtherHost},
      {GetAs("127.0.0.1.evil.example"), kOtherHost}, {GetAs(""), ""},
      {GetAs("LocalHost:8750"), "200 " + kPage, true}, {GetAs("127.0.0.1:8750"), "200 " + kPage, true},
  };
  for (const auto& c : cases) {
    const std::string reply = Peer(server_.port()).Fetch(c.request);
    SCOPED_TRACE(c.request.substr(0, 40) + " -> " + reply.substr(0, 200));
    EXPECT_EQ(Status(Peer(server_.port()).Fetch(Get("/"))), "200");  // the server took no harm
    EXPECT_TRUE(c.want.empty() ? reply.empty() || Status(reply) >= "400" : Status(reply) + " " + Body(reply) == c.want);
    if (c.want.empty()) continue;
    for (const char* header : {"Options: nosniff", "Security-Policy: default-src 'self';", "Policy: no-referrer"})
      EXPECT_NE(reply.find(header), std::string::npos) << header;
    EXPECT_EQ(reply.find("Cache-Control: no-store") == std::string::npos, c.cached);
  }
}

TEST_F(HttpServerTest, StreamGetsTheHelloThenEachEventOnceInOrderBesideAThousandIdleConnections) {
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur < 2200) GTEST_SKIP() << "needs 2200 files open";
  std::vector<std::unique_ptr<Peer>> idle;  // from 40 clients, each within its share
  for (int i = 0; i < 1000; ++i) idle.push_back(std::make_unique<Peer>(server_.port(), INADDR_LOOPBACK + 1 + i / 25));
  auto stream = std::make_unique<Peer>(server_.port());
  ASSERT_TRUE(stream->Talk(kStreamRequest, kHello));
  EXPECT_NE(stream->in.find("Content-Type: text/event-stream"), std::string::npos);
  EXPECT_EQ(Status(Peer(server_.port()).Fetch(Get("/"))), "200");
  for (const char* data : {"1", "{\"n\":2}", "two\nlines"}) server_.Publish("job", data);
  const std::string expected = kHello + "event: job\ndata: 1\n\nevent: job\ndata: {\"n\":2}\n\n" +
                               "event: job\ndata: two\ndata: lines\n\n";  // a line break stays inside its event
  ASSERT_TRUE(stream->Talk("", "data: lines\n\n"));
  std::string body = Body(stream->in);
  for (size_t at; (at = body.find(": keep-alive\n\n")) != std::string::npos;) body.erase(at, 14);
  EXPECT_EQ(body, expected);
  EXPECT_EQ(server_.streams(), 1u);
  stream.reset();  // the client goes: found out by the writes that follow
  EXPECT_TRUE(WaitFor([&] { server_.Publish("job", "4"); return server_.streams() == 0; }));
}

TEST_F(HttpServerTest, StreamPastItsBacklogIsClosedOthersKeepTheirEvents) {
  Peer stalled(server_.port()), reader(server_.port());  // `stalled` never reads; the idle limit (30 s) is far
  ASSERT_TRUE(stalled.Talk(kStreamRequest, "") && reader.Talk(kStreamRequest, kHello));
  ASSERT_TRUE(WaitFor([&] { return server_.streams() == 2; }));
  const std::string filler(16000, 'x');
  int sent = 0;  // the kernel's buffers take some MiB before the backlog (256 KiB) grows
  for (; sent < 4096 && server_.streams() == 2; ++sent) {
    server_.Publish("fill", std::to_string(sent) + filler);
    ASSERT_TRUE(reader.Talk("", "data: " + std::to_string(sent) + filler + "\n\n", true)) << sent;
  }
  EXPECT_TRUE(WaitFor([&] { return server_.streams() == 1; })) << sent;
  server_.Publish("after", "1");
  EXPECT_TRUE(reader.Talk("", "event: after\ndata: 1\n\n"));
  EXPECT_EQ(Status(Peer(server_.port()).Fetch(Get("/"))), "200");
}

TEST(HttpServerLimits, OneSlowClientHoldsOnlyItsShareAndTheLimitStaysBelowTheFilesThereAre) {
  HttpServer server, within;
  server.Route("/", [](const Request&) { return Reply{200, "text/plain", "up"}; });
  std::string reason;
  ASSERT_TRUE(server.Start("127.0.0.1:0", reason, {.connections = 40, .per_client = 8})) << reason;
  std::vector<std::unique_ptr<Peer>> slow;  // requests never finished, as many as the server holds
  for (int i = 0; i < 40; ++i) slow.push_back(std::make_unique<Peer>(server.port()));
  for (auto& peer : slow) peer->Talk("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n", "");
  EXPECT_EQ(Body(Peer(server.port(), INADDR_LOOPBACK + 1).Fetch(Get("/"))), "up");
  rlimit files{};
  ASSERT_TRUE(getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_max >= 1024);
  const rlimit service{1024, files.rlim_max};  // the service's soft limit, while `within` starts
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &service), 0);
  const bool started = within.Start("127.0.0.1:0", reason);
  setrlimit(RLIMIT_NOFILE, &files);
  EXPECT_TRUE(started && within.connections() <= 1024 - 128) << reason;
}

TEST_F(HttpServerTest, StartOnATakenOrMalformedAddressFailsWithAReason) {
  const std::string taken = "127.0.0.1:" + std::to_string(server_.port());
  for (const std::string address :
       {taken.c_str(), "", "127.0.0.1:", "127.0.0.1:65536", "127.0.0.1:8x", "localhost:80", "::1:80", "[::1]80"}) {
    HttpServer other;
    std::string reason;
    EXPECT_FALSE(other.Start(address, reason));
    EXPECT_EQ(reason, address == taken ? "address already in use" : "not ADDR:PORT: " + address);
  }
  HttpServer never_started;  // and its destructor
}

}  // namespace
}  // namespace vekweb
