// Shipping the station's records to the line's PostgreSQL database, against a
// throwaway server on a Unix socket: every job with an NV backup of 1 MiB.
//
//   bench_line_shipping
//
// 1. One station ships a backlog of jobs in one round (as `vek-report ship`).
// 2. Eight stations ship theirs at the same moment, each over its own connection.
// 3. What a line database that takes the connection and never answers costs a
//    whole vek-cli job against vek-sim (time scale 0.1), against the same job
//    without a line database. VEK_BENCH_RUNS runs each (default 3); medians.
#include <netinet/in.h>
#include <sys/socket.h>

#include <barrier>
#include <cstdio>
#include <random>
#include <thread>

#include "bench_support.h"
#include "pg_cluster.h"
#include "store/line_shipping.h"
#include "store/station_rows.h"

namespace {

constexpr int kStations = 8;
constexpr int kJobsAlone = 32;
constexpr int kJobsEach = 8;
constexpr size_t kBackupBytes = 1 << 20;

// A station database holding `jobs` finished jobs, each with its own backup.
void FillStation(const std::string& path, int station, int jobs) {
  std::string reason;
  auto db = vek::StationDb::Open(path, vek::StationDb::Mode::kWrite, reason);
  std::mt19937 random(station);
  for (int job = 0; job < jobs && db; ++job) {
    vek::StationJobRow row;
    row.id = "bench-" + std::to_string(station) + "-" + std::to_string(job);
    row.started_utc = row.ended_utc = "2026-12-08T10:00:00Z";
    row.station = "station-" + std::to_string(station);
    row.program = "vek-cli";
    row.vek_version = VEK_VERSION;
    row.imei = std::to_string(356938035000000 + station * 1000 + job);
    row.result = "succeeded";
    row.log = std::string(6000, 'l');
    for (int i = 0; i < 6; ++i) row.files.push_back({"image" + std::to_string(i) + ".mbn", 1 << 20, std::string(64, 'a')});
    vek::StationNvBackup backup{row.id, row.imei, row.id, row.started_utc, 7900, std::vector<uint8_t>(kBackupBytes)};
    for (auto& byte : backup.bytes) byte = static_cast<uint8_t>(random());
    if (!vek::WriteJobRow(*db, row, reason) || !vek::WriteNvBackup(*db, backup, reason))
      std::fprintf(stderr, "bench_line_shipping: %s\n", reason.c_str());
  }
}

// Ships one station's backlog; the jobs shipped.
int Ship(const std::string& station_path, const std::string& url) {
  std::string reason;
  auto station = vek::StationDb::Open(station_path, vek::StationDb::Mode::kWrite, reason);
  auto line = station ? vek::LineDb::Connect(url, reason) : nullptr;
  const int shipped = line ? vek::ShipPending(*station, *line, reason).shipped : 0;
  if (!reason.empty()) std::fprintf(stderr, "bench_line_shipping: %s\n", reason.c_str());
  return shipped;
}

// One whole vek-cli job against a fresh vek-sim; its wall time, or -1 when it failed.
double CliJob(const std::string& images, const std::string& line_url) {
  bench::ScratchDir work;
  const std::string scale = "VEK_TIME_SCALE=0.1";
  bench::ChildProcess module({bench::BuiltProgram("sim", "vek-sim"), "--port-map", work / "ports", "--model", "ZX2180", "--revision",
                              "ZX2180_SIM_V1.0", "--revision-after-download", "ZX2180_SIM_V1.1"},
                             {"", {scale}, false});
  if (!module.started() || !bench::WaitForPortMap(work / "ports")) return -1;
  std::vector<std::string> args = {bench::BuiltProgram("cli", "vek-cli"), "--port-map", work / "ports", "--images", images};
  if (!line_url.empty()) args.insert(args.end(), {"--line-db", line_url});
  std::filesystem::create_directories(work / "run");
  bench::ChildProcess cli(args, {work / "run", {scale, "XDG_RUNTIME_DIR=" + work.path(),
                                                "VEK_STATION_DB=" + (work / "station.db")}, false});
  const int status = cli.Wait();
  module.Stop();
  return status == 0 ? cli.wall_seconds() : -1;
}

}  // namespace

int main() {
  vektest::PgCluster cluster(5432);
  std::string reason;
  auto line = cluster.ready() ? vek::LineDb::Connect(cluster.Url(), reason) : nullptr;
  if (!line || !line->Init(reason)) {
    std::fprintf(stderr, "bench_line_shipping: no line database: %s\n", reason.c_str());
    return 1;
  }
  bench::ScratchDir scratch;
  FillStation(scratch / "alone.db", 100, kJobsAlone);
  auto start = bench::Clock::now();
  const int alone = Ship(scratch / "alone.db", cluster.Url());
  const double alone_seconds = bench::SecondsSince(start);

  for (int s = 0; s < kStations; ++s) FillStation(scratch / ("station" + std::to_string(s) + ".db"), s, kJobsEach);
  std::barrier together(kStations + 1);
  std::vector<int> shipped(kStations);
  std::vector<std::thread> stations;
  for (int s = 0; s < kStations; ++s)
    stations.emplace_back([&, s] {
      together.arrive_and_wait();
      shipped[s] = Ship(scratch / ("station" + std::to_string(s) + ".db"), cluster.Url());
    });
  together.arrive_and_wait();
  start = bench::Clock::now();
  for (auto& station : stations) station.join();
  const double eight_seconds = bench::SecondsSince(start);
  int eight = 0;
  for (int n : shipped) eight += n;

  // A server that takes the connection (the kernel's backlog) and never says a word.
  const int silent = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof address;
  if (bind(silent, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(silent, 16) != 0 ||
      getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    return 1;
  const std::string silent_url = "host=127.0.0.1 port=" + std::to_string(ntohs(address.sin_port)) + " dbname=line";
  bench::ChildProcess make({bench::BuiltProgram("sim", "vek-make-images"), scratch / "images", "--platform", "2"}, {});
  if (make.Wait() != 0) return 1;
  std::vector<double> plain, unanswered;
  for (int run = 0; run < bench::Runs(3); ++run) {
    plain.push_back(CliJob(scratch / "images", ""));
    unanswered.push_back(CliJob(scratch / "images", silent_url));
  }
  close(silent);

  const double mib = kBackupBytes / double(1 << 20);
  std::printf("### Line database: shipping\n\n");
  std::printf("Each job: its row (a 6 KB log), six image files and an NV backup of %.0f MiB; one transaction a job, "
              "PostgreSQL 15 on a Unix socket of this machine.\n\n", mib);
  std::printf("| | jobs shipped | seconds | jobs/s | MiB/s |\n|---|---|---|---|---|\n");
  std::printf("| one station, a backlog of %d | %d | %.2f | %.1f | %.1f |\n", kJobsAlone, alone, alone_seconds,
              alone / alone_seconds, alone * mib / alone_seconds);
  std::printf("| %d stations at once, %d each | %d | %.2f | %.1f | %.1f |\n\n", kStations, kJobsEach, eight,
              eight_seconds, eight / eight_seconds, eight * mib / eight_seconds);
  std::printf("A whole vek-cli job (time scale 0.1), median of %zu: %.2f s without a line database, %.2f s with one "
              "that takes the connection and never answers (%.2f s more).\n\n",
              plain.size(), bench::Median(plain), bench::Median(unanswered),
              bench::Median(unanswered) - bench::Median(plain));
  return alone == kJobsAlone && eight == kStations * kJobsEach ? 0 : 1;
}
