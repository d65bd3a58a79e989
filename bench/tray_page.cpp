// vek-factory's live page of the tray (--http) while a tray of simulated
// modules is flashed: how soon a change of a socket's tile reaches a page, and
// what open pages cost vek-factory itself.
//
//   bench_tray_page [--time-scale S] [--image-kib K] [--pages N]
//                   (defaults 0.2, 512 and 50)
//
// Each run: vek-sim publishes a tray of 8 modules, vek-factory --count 8 --http
// 127.0.0.1:PORT flashes it, and this program holds 0, 1 or N pages open on
// /api/events (raw loopback sockets asking with HTTP/1.0, so the stream comes
// unchunked). vek-factory runs from a folder holding a copy of it and, as
// "vek-cli", bench_event_stamp, which runs the real vek-cli and writes down the
// moment it read each of vek-cli's events. Measured:
// - latency: the first page stamps each "tile" event on arrival; each change of
//   a tile's step (with its image) is matched to the first "step" event of that
//   socket with that step and image, each change of its percent to the first
//   "progress" event with that percent, both after the events matched before,
//   and the time between the two is taken (both CLOCK_MONOTONIC);
// - cost: vek-factory's own CPU (user + sys): its wait4() figures, less what
//   each wrapper says it and its vek-cli used (the /proc/PID/stat of the ended,
//   not yet reaped vek-factory says the same in 10 ms ticks, and checks it).
// The runs of 0, 1 and N pages take turns, VEK_BENCH_RUNS (default 3) of each,
// so the machine's load falls on each alike; printed as Markdown.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>

#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>

#include "bench_support.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr size_t kModules = 8;
constexpr double kLatencyGoalMs = 250;
constexpr double kCostGoalPercent = 5;
// A tray that takes longer than this is stopped: something hangs.
constexpr int kDeadlineS = 300;
// vek-factory listens a moment after it starts; a page refused is tried again after this.
constexpr int kRetryMs = 10;
constexpr int kConnectForMs = 10000;
// Once vek-factory has ended, what it sent is read for at most this long.
constexpr int kDrainMs = 2000;

struct Programs {
  std::string sim = bench::BuiltProgram("sim", "vek-sim");
  std::string make_images = bench::BuiltProgram("sim", "vek-make-images");
  std::string factory = bench::BuiltProgram("cli", "vek-factory");
  std::string cli = bench::BuiltProgram("cli", "vek-cli");
  std::string event_stamp = bench::BuiltProgram("bench", "bench_event_stamp");
};

long long MonotonicNs() {
  timespec now {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in address {};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// A port free on the loopback now (the kernel's pick), for vek-factory to listen on.
uint16_t FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = Loopback(0);
  socklen_t length = sizeof address;
  uint16_t port = 0;
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  if (fd >= 0) close(fd);
  return port;
}

// vek-factory's own CPU from /proc/PID/stat (utime + stime, its threads', not
// its children's): read after it ended and before it is reaped.
double StatCpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  std::getline(in, text);
  const size_t name_end = text.rfind(')');
  if (name_end == std::string::npos) return -1;
  std::istringstream fields(text.substr(name_end + 2));  // from the third field, the state, on
  std::string field;
  double utime = -1, stime = -1;
  for (int number = 3; number <= 15 && fields >> field; ++number) {
    if (number == 14) utime = std::atof(field.c_str());
    if (number == 15) stime = std::atof(field.c_str());
  }
  return utime < 0 || stime < 0 ? -1 : (utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// One open page: a client of /api/events on a raw socket. Every page reads all
// it is sent and splits it into events; the one that `keeps` also keeps each
// "tile" event with the moment it arrived, and the first "tray" event.
class EventClient {
 public:
  struct Arrival {
    long long ns;
    std::string data;
  };

  // `from`: the client's own loopback address; the server holds a few connections per client.
  EventClient(uint16_t port, bool keeps, uint32_t from) : port_(port), keeps_(keeps), from_(from) {}
  ~EventClient() { Close(); }
  EventClient(const EventClient&) = delete;
  EventClient& operator=(const EventClient&) = delete;

  // Starts connecting; false when the server refused at once (not listening yet).
  bool Connect() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) return false;
    sockaddr_in own = Loopback(0);
    own.sin_addr.s_addr = htonl(from_);
    const sockaddr_in address = Loopback(port_);
    if (bind(fd_, reinterpret_cast<const sockaddr*>(&own), sizeof own) != 0) {
      Close();
      return false;
    }
    if (connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 || errno == EINPROGRESS) {
      connecting_ = true;
      return true;
    }
    Close();
    return false;
  }

  bool open() const { return fd_ >= 0; }
  bool ended() const { return ended_; }
  int fd() const { return fd_; }
  short wanted() const { return static_cast<short>(connecting_ || !request_.empty() ? POLLOUT : POLLIN); }
  bool got_tray() const { return got_tray_; }
  size_t tiles_seen() const { return tiles_seen_; }
  const std::string& tray() const { return tray_; }
  const std::vector<Arrival>& tiles() const { return tiles_; }

  // After poll(): sends the request or reads what came; false when the server
  // refused the connection (to be tried again).
  bool Ready(short revents) {
    if (connecting_) {
      int error = 0;
      socklen_t length = sizeof error;
      getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length);
      if (error != 0) {
        Close();
        return false;
      }
      connecting_ = false;
      request_ = "GET /api/events HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    }
    if (!request_.empty()) {
      const ssize_t n = send(fd_, request_.data(), request_.size(), MSG_NOSIGNAL);
      if (n > 0) request_.erase(0, static_cast<size_t>(n));
      else if (n < 0 && errno != EAGAIN && errno != EINTR) End();
      return true;
    }
    if ((revents & (POLLIN | POLLHUP | POLLERR)) == 0) return true;
    char buffer[65536];
    const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    const long long now = MonotonicNs();
    if (n > 0) Take(std::string_view(buffer, static_cast<size_t>(n)), now);
    else if (n == 0 || (errno != EAGAIN && errno != EINTR)) End();
    return true;
  }

 private:
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    connecting_ = false;
  }
  void End() {
    Close();
    ended_ = true;
  }

  void Take(std::string_view bytes, long long now) {
    pending_.append(bytes);
    if (!headers_done_) {
      const size_t end = pending_.find("\r\n\r\n");
      if (end == std::string::npos) return;
      if (pending_.compare(0, 12, "HTTP/1.0 200") != 0 && pending_.compare(0, 12, "HTTP/1.1 200") != 0) {
        End();
        return;
      }
      headers_done_ = true;
      pending_.erase(0, end + 4);
    }
    size_t start = 0;
    for (size_t end; (end = pending_.find("\n\n", start)) != std::string::npos; start = end + 2)
      Event(std::string_view(pending_).substr(start, end - start), now);
    pending_.erase(0, start);
  }

  // One event: "event: NAME" and "data: ..." lines (comments, ": ...", are the keep-alive).
  void Event(std::string_view block, long long now) {
    std::string_view name;
    std::string data;
    for (size_t start = 0; start <= block.size();) {
      size_t end = block.find('\n', start);
      if (end == std::string_view::npos) end = block.size();
      const std::string_view line = block.substr(start, end - start);
      if (line.substr(0, 7) == "event: ") name = line.substr(7);
      else if (line.substr(0, 6) == "data: ") data += std::string(line.substr(6));
      start = end + 1;
    }
    if (name == "tray" && !got_tray_) {
      got_tray_ = true;
      if (keeps_) tray_ = std::move(data);
    } else if (name == "tile") {
      ++tiles_seen_;
      if (keeps_) tiles_.push_back({now, std::move(data)});
    }
  }

  const uint16_t port_;
  const bool keeps_;
  const uint32_t from_;
  int fd_ = -1;
  bool connecting_ = false, headers_done_ = false, ended_ = false, got_tray_ = false;
  std::string request_, pending_, tray_;
  size_t tiles_seen_ = 0;
  std::vector<Arrival> tiles_;
};

// One of vek-cli's events as bench_event_stamp read it.
struct Stamped {
  long long ns = 0;
  std::string type, step, image;
  int percent = -1;
};

std::map<std::string, std::vector<Stamped>> ReadStamps(const std::string& path) {
  std::map<std::string, std::vector<Stamped>> sockets;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    const size_t first = line.find(' '), second = line.find(' ', first + 1);
    if (second == std::string::npos) continue;
    const json event = json::parse(line.substr(second + 1), nullptr, false);
    if (!event.is_object()) continue;
    Stamped stamped;
    stamped.ns = std::atoll(line.c_str());
    stamped.type = event.value("type", "");
    if (stamped.type == "step") {
      stamped.step = event.value("step", "");
      stamped.image = event.value("image", "");
    } else if (stamped.type == "progress" && event.contains("percent") && event["percent"].is_number()) {
      stamped.percent = std::min(event["percent"].get<int>(), 100);  // as the tile shows it
    } else {
      continue;
    }
    sockets[line.substr(first + 1, second - first - 1)].push_back(std::move(stamped));
  }
  return sockets;
}

// What of a tile is matched to vek-cli's events.
struct Shown {
  std::string step, image;
  int percent = -1;  // none shown
};

Shown ShownOf(const json& tile) {
  Shown shown;
  shown.step = tile.value("step", "");
  shown.image = tile.value("image", "");
  if (tile.contains("percent") && tile["percent"].is_number()) shown.percent = tile["percent"].get<int>();
  return shown;
}

struct Latencies {
  std::vector<double> ms;  // one per matched change
  size_t changes = 0;      // the changes of step or percent the page saw
};

// Matches each change of a tile the page saw to the event of vek-cli's that
// caused it (see the top of this file).
Latencies Match(const EventClient& page, const std::string& stamps_path) {
  Latencies latencies;
  const auto stamps = ReadStamps(stamps_path);
  std::map<std::string, Shown> shown;
  std::map<std::string, size_t> next;  // per socket: the first of its events not matched yet
  const json tray = json::parse(page.tray(), nullptr, false);
  if (tray.is_object() && tray.contains("tiles") && tray["tiles"].is_array())
    for (const json& tile : tray["tiles"]) shown[tile.value("usb_path", "")] = ShownOf(tile);
  for (const EventClient::Arrival& arrival : page.tiles()) {
    const json tile = json::parse(arrival.data, nullptr, false);
    if (!tile.is_object()) continue;
    const std::string usb_path = tile.value("usb_path", "");
    const Shown now = ShownOf(tile), before = shown[usb_path];
    shown[usb_path] = now;
    const auto events = stamps.find(usb_path);
    size_t& from = next[usb_path];
    size_t after = from;
    auto match = [&](auto is_cause) {
      ++latencies.changes;
      if (events == stamps.end()) return;
      for (size_t i = from; i < events->second.size(); ++i) {
        if (!is_cause(events->second[i])) continue;
        const long long took = arrival.ns - events->second[i].ns;
        if (took >= 0) latencies.ms.push_back(static_cast<double>(took) / 1e6);
        after = std::max(after, i + 1);
        return;
      }
    };
    if (!now.step.empty() && (now.step != before.step || now.image != before.image))
      match([&](const Stamped& e) { return e.type == "step" && e.step == now.step && e.image == now.image; });
    if (now.percent >= 0 && now.percent != before.percent)
      match([&](const Stamped& e) { return e.type == "progress" && e.percent == now.percent; });
    from = after;
  }
  return latencies;
}

struct PageRun {
  bool ok = false;
  std::string why;           // what went wrong, when not ok
  size_t pages = 0;
  double factory_cpu = 0;    // vek-factory's own, from wait4 less the wrappers' figures
  double stat_cpu = 0;       // the same from /proc/PID/stat, in ticks
  double wall = 0;
  size_t pages_served = 0;   // pages that got the tray
  size_t stamped = 0;        // vek-cli's step and progress events written down
  Latencies latencies;       // as the first page saw them
};

// Holds `pages` pages open on vek-factory at `port` until it ends; false and
// `run.why` when a page could not connect.
bool HoldPages(bench::Program& factory, uint16_t port, size_t pages, std::vector<std::unique_ptr<EventClient>>& clients,
               PageRun& run) {
  for (size_t i = 0; i < pages; ++i) clients.push_back(std::make_unique<EventClient>(port, i == 0, INADDR_LOOPBACK + 1 + i / 16));
  const long long started = MonotonicNs();
  long long retry_at = started;
  for (bool ended = false; !ended;) {
    const long long now = MonotonicNs();
    if (now - started > static_cast<long long>(kDeadlineS) * 1000000000LL) {
      run.why = "vek-factory did not end within " + std::to_string(kDeadlineS) + " s";
      return false;
    }
    bool waiting = false;  // a page not connected yet
    for (auto& client : clients) {
      if (client->open() || client->ended()) continue;
      if (now >= retry_at) client->Connect();
      waiting = waiting || !client->open();
    }
    if (waiting && now - started > kConnectForMs * 1000000LL) {
      run.why = "a page could not connect to vek-factory";
      return false;
    }
    if (waiting && now >= retry_at) retry_at = now + kRetryMs * 1000000LL;
    std::vector<pollfd> fds{{factory.pidfd(), POLLIN, 0}};
    for (auto& client : clients) fds.push_back({client->fd(), client->wanted(), 0});  // -1: left out
    if (poll(fds.data(), fds.size(), waiting ? kRetryMs : 1000) < 0 && errno != EINTR) {
      run.why = std::string("poll: ") + std::strerror(errno);
      return false;
    }
    for (size_t i = 0; i < clients.size(); ++i)
      if (fds[i + 1].revents != 0 && !clients[i]->Ready(fds[i + 1].revents))
        retry_at = MonotonicNs() + kRetryMs * 1000000LL;  // refused: not listening yet
    ended = fds[0].revents != 0;
  }
  return true;
}

// Reads what the ended vek-factory's pages were still sent, for at most kDrainMs.
void DrainPages(std::vector<std::unique_ptr<EventClient>>& clients) {
  const long long until = MonotonicNs() + kDrainMs * 1000000LL;
  for (long long now = MonotonicNs(); now < until; now = MonotonicNs()) {
    std::vector<pollfd> fds;
    std::vector<EventClient*> open;
    for (auto& client : clients) {
      if (!client->open() || client->wanted() != POLLIN) continue;
      fds.push_back({client->fd(), POLLIN, 0});
      open.push_back(client.get());
    }
    if (fds.empty() || poll(fds.data(), fds.size(), static_cast<int>((until - now) / 1000000LL) + 1) <= 0) return;
    for (size_t i = 0; i < fds.size(); ++i)
      if (fds[i].revents != 0) open[i]->Ready(fds[i].revents);
  }
}

PageRun RunTray(const Programs& programs, const std::string& bin, const std::string& images,
                const std::string& time_scale, size_t pages) {
  bench::ScratchDir work;
  PageRun run;
  run.pages = pages;
  const std::string scale = "VEK_TIME_SCALE=" + time_scale;
  fs::create_directories(work / "runtime");
  fs::create_directories(work / "tray");
  bench::ChildProcess sim(bench::SimulatedTray(programs.sim, work / "ports", kModules), {"", {scale}, false});
  if (!sim.started() || !bench::WaitForTray(work / "ports", kModules)) {
    run.why = "vek-sim did not publish the tray";
    return run;
  }
  const uint16_t port = FreePort();
  bench::Program factory(
      {bin + "/vek-factory", "--port-map", work / "ports", "--images", images, "--count", std::to_string(kModules),
       "--report", work / "report.jsonl", "--timeout", "60", "--station-db", work / "station.db", "--http",
       "127.0.0.1:" + std::to_string(port)},
      work / "tray",
      {scale, "XDG_RUNTIME_DIR=" + (work / "runtime"), "VEK_BENCH_CHILD_PROGRAM=" + programs.cli,
       "VEK_BENCH_STAMPS=" + (work / "stamps"), "VEK_BENCH_CHILD_USAGE=" + (work / "usage")},
      work / "factory.out");
  if (!factory.started() || factory.pidfd() < 0) {
    run.why = "vek-factory did not start (or this kernel has no pidfd)";
    return run;
  }
  std::vector<std::unique_ptr<EventClient>> clients;
  const bool held = HoldPages(factory, port, pages, clients, run);
  if (held) run.stat_cpu = StatCpuSeconds(factory.pid());  // ended, not reaped: its own figures alone
  DrainPages(clients);
  const bench::Program::Ended ended = held ? factory.Reap() : factory.Wait(0);
  sim.Stop();
  run.wall = ended.wall;
  double children = 0;
  size_t succeeded_cli = 0;
  const auto usage = bench::ReadChildUsage(work / "usage");
  for (const bench::ChildUsage& line : usage) {
    children += line.cpu() + line.wrapper_cpu();
    if (line.status == 0) ++succeeded_cli;
  }
  run.factory_cpu = bench::CpuSeconds(ended.usage) - children;
  for (const auto& client : clients) run.pages_served += client->got_tray() ? 1 : 0;
  for (const auto& [usb_path, events] : ReadStamps(work / "stamps")) run.stamped += events.size();
  if (pages > 0) run.latencies = Match(*clients[0], work / "stamps");
  const bench::ReportSummary report = bench::ReadReport(work / "report.jsonl");
  auto fail = [&](const std::string& why) {  // the first thing that went wrong is told
    if (run.why.empty()) run.why = why;
  };
  if (ended.status != 0) fail("vek-factory exited " + std::to_string(ended.status));
  if (report.succeeded != kModules || succeeded_cli != kModules || usage.size() != kModules)
    fail(std::to_string(report.succeeded) + " of " + std::to_string(kModules) + " jobs succeeded in the report, " +
         std::to_string(succeeded_cli) + " vek-cli exited 0");
  if (run.stamped == 0) fail("no step or progress event of vek-cli was seen");
  if (run.pages_served != pages)
    fail(std::to_string(run.pages_served) + " of " + std::to_string(pages) + " pages got the tray");
  if (pages > 0 && clients[0]->tiles_seen() == 0) fail("the page got no tile event");
  if (pages > 0 && run.latencies.ms.empty()) fail("no tile change could be matched to an event of vek-cli");
  // Both say what vek-factory used itself; far apart, a child's figures went missing.
  if (std::abs(run.stat_cpu - run.factory_cpu) > 0.05 + 0.02 * run.stat_cpu)
    fail("vek-factory's own CPU is " + std::to_string(run.factory_cpu) + " s from wait4 but " +
         std::to_string(run.stat_cpu) + " s in /proc");
  run.ok = run.why.empty();
  return run;
}

std::string Ms(double value) {
  char text[32];
  std::snprintf(text, sizeof text, value < 10 ? "%.1f" : "%.0f", value);
  return text;
}

double Percent(double value, double base) { return base > 0 ? 100.0 * (value - base) / base : 0; }

}  // namespace

int main(int argc, char** argv) {
  std::string time_scale = "0.2";
  size_t image_kib = 512, many = 50;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--time-scale") == 0) time_scale = argv[i + 1];
    else if (std::strcmp(argv[i], "--image-kib") == 0) image_kib = std::strtoul(argv[i + 1], nullptr, 10);
    else if (std::strcmp(argv[i], "--pages") == 0) many = std::strtoul(argv[i + 1], nullptr, 10);
  }
  if (many < 2 || many > 1000) {
    std::fprintf(stderr, "bench_tray_page: --pages expects a number of pages from 2 to 1000\n");
    return 2;
  }
  const Programs programs;
  const int runs = bench::Runs(3);
  bench::ScratchDir scratch;
  const std::string images = scratch / "images", bin = scratch / "bin";
  bench::ChildProcess make({programs.make_images, images, "--platform", "2", "--image-kib", std::to_string(image_kib)},
                           {});
  if (make.Wait() != 0 || !bench::MakeFactoryFolder(programs.factory, programs.event_stamp, bin)) {
    std::printf("**bench_tray_page: cannot make the images or the folder of vek-factory.**\n\n");
    return 1;
  }

  const std::string load_before = bench::LoadAverage();
  const auto started = bench::Clock::now();
  const size_t kinds[] = {0, 1, many};
  std::map<size_t, std::vector<PageRun>> results;
  bool ok = true;
  for (int i = 0; i < runs; ++i) {
    for (const size_t pages : kinds) {
      std::fprintf(stderr, "bench_tray_page: %zu page(s), run %d of %d\n", pages, i + 1, runs);
      results[pages].push_back(RunTray(programs, bin, images, time_scale, pages));
      const PageRun& run = results[pages].back();
      if (!run.ok) std::fprintf(stderr, "bench_tray_page: failed: %s\n", run.why.c_str());
      ok = ok && run.ok;
    }
  }
  const double took = bench::SecondsSince(started);

  std::printf("### Tray page: how soon a page shows a change, and what open pages cost vek-factory (bench_tray_page)\n\n");
  std::printf("A tray of %zu simulated ZX2180 modules flashed at once by `vek-factory --count %zu --http "
              "127.0.0.1:PORT` at VEK_TIME_SCALE=%s (%zu KiB images), with 0, 1 or %zu pages open on "
              "`/api/events`; %d run(s) of each, taking turns (%.0f s in all); %ld cores; load average %s before, "
              "%s after.\n\n",
              kModules, kModules, time_scale.c_str(), image_kib, many, runs, took, sysconf(_SC_NPROCESSORS_ONLN),
              load_before.c_str(), bench::LoadAverage().c_str());
  std::printf("| open pages | vek-factory CPU s: min / median | more than with no page: min / median | "
              "tile changes matched | latency ms: p50 / p95 / max |\n");
  std::printf("|---|---|---|---|---|\n");
  std::map<size_t, std::pair<double, double>> cpu;  // min, median
  std::map<size_t, Latencies> seen;
  for (const size_t pages : kinds) {
    std::vector<double> figures;
    Latencies pooled;
    bool all_ok = true;
    for (const PageRun& run : results[pages]) {
      all_ok = all_ok && run.ok;
      if (!run.ok) continue;
      figures.push_back(run.factory_cpu);
      pooled.changes += run.latencies.changes;
      pooled.ms.insert(pooled.ms.end(), run.latencies.ms.begin(), run.latencies.ms.end());
    }
    cpu[pages] = {figures.empty() ? 0 : *std::min_element(figures.begin(), figures.end()), bench::Median(figures)};
    seen[pages] = pooled;
    const auto [low, middle] = cpu[pages];
    char more[64] = "—", latency[96] = "—", matched[48] = "—";
    if (pages > 0) {
      std::snprintf(more, sizeof more, "%+.1f %% / %+.1f %%", Percent(low, cpu[0].first),
                    Percent(middle, cpu[0].second));
      std::snprintf(matched, sizeof matched, "%zu of %zu", pooled.ms.size(), pooled.changes);
      std::snprintf(latency, sizeof latency, "%s / %s / %s", Ms(bench::Quantile(pooled.ms, 0.5)).c_str(),
                    Ms(bench::Quantile(pooled.ms, 0.95)).c_str(),
                    Ms(pooled.ms.empty() ? 0 : *std::max_element(pooled.ms.begin(), pooled.ms.end())).c_str());
    }
    std::printf("| %zu%s | %.3f / %.3f | %s | %s | %s |\n", pages, all_ok ? "" : " (**a run failed**)", low, middle,
                more, matched, latency);
  }
  const double p95 = bench::Quantile(seen[1].ms, 0.95);
  const double increase = Percent(cpu[many].second, cpu[0].second);
  std::printf("\nGoal: a page shows a tile's change within %.0f ms (p95, one page open): **%s ms — %s**.\n",
              kLatencyGoalMs, Ms(p95).c_str(), ok && !seen[1].ms.empty() && p95 <= kLatencyGoalMs ? "met" : "not met");
  std::printf("\nGoal: %zu open pages cost vek-factory at most %.0f %% more CPU (median): **%+.1f %% — %s**.\n\n", many,
              kCostGoalPercent, increase, ok && increase <= kCostGoalPercent ? "met" : "not met");
  std::printf("Latency: from the moment bench_event_stamp read vek-cli's `step` or `progress` event (vek-factory "
              "reads it from the same pipe a moment later) to the moment the page read the `tile` event showing "
              "that step or percent, over every change of every socket's tile in all runs (with %zu pages, as the "
              "first of them saw it). vek-factory gathers a job's events for up to 50 ms before it publishes them. "
              "CPU: vek-factory's own user + sys time over the whole tray (its wait4() figures less each vek-cli's "
              "and its wrapper's; the page is served in every run, with no page open too); vek-cli's and vek-sim's "
              "work is the same in every run and left out.\n\n",
              many);
  return ok ? 0 : 1;
}
