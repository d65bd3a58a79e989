// The NV backup and restore with several requests in flight (--nv-window),
// against vek-sim whose link has a round trip and whose diagnostic task serves
// one request at a time, with and without a short input queue that drops what
// arrives past it. Each run is a fresh module in its own process.
//
//   bench_nv_window [path/to/vek-sim]
//
// VEK_BENCH_NV_LATENCIES (default "0.5,1,2", ms), VEK_BENCH_NV_SERVICE_US
// (default "500,150": the task's time on one request) and VEK_BENCH_NV_QUEUE (default
// 4) set the link. Every run's backup must equal, byte for byte, the one made one
// request at a time on the same link, and its restore must write back as many
// items: otherwise the bench fails.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "bench_support.h"
#include "quiet_job.h"
#include "link/port_source.h"
#include "link/serial_port.h"
#include "nv/nv_backup.h"
#include "records/job_facts.h"
#include "records/job_records.h"

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kComBase = 20;
constexpr int kAuto = 0;  // the job's window for --nv-window auto
const std::vector<int> kWindows{1, 4, 8, 16, kAuto};

std::string EnvOr(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> parts;
  std::string part;
  for (const char c : text + ",") {
    if (c != ',') { part += c; continue; }
    if (!part.empty()) parts.push_back(part);
    part.clear();
  }
  return parts;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// vek-sim says at exit how many requests its task dropped.
unsigned long long DroppedOf(const std::string& output) {
  const std::string mark = "the diagnostic task dropped ";
  const size_t at = output.rfind(mark);
  return at == std::string::npos ? 0 : std::strtoull(output.c_str() + at + mark.size(), nullptr, 10);
}

struct Link {
  std::string latency_ms;
  int queue = 0;  // 0: no bound
};

struct Run {
  bool ok = false;
  double backup_s = 0, restore_s = 0;
  int backup_window = 0, restore_window = 0;
  int records = 0, refused = 0;
  unsigned long long dropped = 0;
  std::string backup;  // the file's bytes
  bool store_unchanged = false;
};

Run RunOnce(const std::string& sim, const Link& link, const std::string& service_us, int window) {
  Run run;
  bench::ScratchDir work;
  std::vector<std::string> args{sim, "--port-map", work / "ports", "--com-base", std::to_string(kComBase),
                                "--link-latency-ms", link.latency_ms, "--diag-service-us", service_us,
                                "--dump", work / "dump"};
  if (link.queue > 0) args.insert(args.end(), {"--diag-queue", std::to_string(link.queue)});
  bench::ChildProcess module(args, {});
  if (!module.started() || !bench::WaitForPortMap(work / "ports")) return run;
  vek::SetPortMapPath(work / "ports");
  const std::string here = fs::current_path().string();
  bool ok = vek::OpenDiagPort(kComBase) && chdir(work.path().c_str()) == 0;
  vek::UpgradeJob& job = vek::TheJob();
  job.platform = vek::PLATFORM_6280;
  job.nv_window = window;
  if (ok) {
    vek::StartJobFacts();
    auto start = bench::Clock::now();
    ok = vek::BackupNv(job) == vek::kNvCompleted;
    run.backup_s = bench::SecondsSince(start);
    run.backup = ReadAll("backup.nvb");
    start = bench::Clock::now();
    ok = vek::RestoreNv(job) == vek::kNvCompleted && ok;
    run.restore_s = bench::SecondsSince(start);
    const vek::JobFacts facts = vek::JobFactsSnapshot();
    if (facts.nv_backup) run.backup_window = facts.nv_backup->window;
    if (facts.nv_restore) {
      run.restore_window = facts.nv_restore->window;
      run.records = facts.nv_restore->records;
      run.refused = facts.nv_restore->refused;
    }
  }
  vek::CloseDiagPort();
  module.Stop();
  run.dropped = DroppedOf(module.output());
  run.store_unchanged = ReadAll(work / "dump/nv-start.bin") == ReadAll(work / "dump/nv.bin");
  run.ok = ok && chdir(here.c_str()) == 0;
  return run;
}

template <typename... Args>
std::string Format(const char* format, Args... args) {
  char text[256];
  std::snprintf(text, sizeof text, format, args...);
  return text;
}

std::string WindowName(int window) { return window == kAuto ? "auto" : std::to_string(window); }

std::string Settled(const Run& run) {
  if (run.backup_window == 0) return "1";
  return std::to_string(run.backup_window) + " / " + std::to_string(run.restore_window);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string sim = argc > 1 ? argv[1] : bench::BuiltProgram("sim", "vek-sim");
  bench::QuietJob();
  // The link's times are the bench's own: the simulator runs at the module's pace.
  unsetenv("VEK_TIME_SCALE");

  const std::vector<std::string> latencies = Split(EnvOr("VEK_BENCH_NV_LATENCIES", "0.5,1,2"));
  const std::vector<std::string> services = Split(EnvOr("VEK_BENCH_NV_SERVICE_US", "500,150"));
  const int queue = std::atoi(EnvOr("VEK_BENCH_NV_QUEUE", "4").c_str());

  std::printf("### NV window (bench_nv_window)\n\n");
  std::printf("Backup and restore of every NV item against vek-sim (a child process) whose link has the round trip "
              "below and whose diagnostic task takes the time below on each request, one at a time, with no bound "
              "on what it holds or a queue of %d (the request it serves among them) that drops what arrives past "
              "it. One run each. \"settled\" is the window at the end of the backup / the restore; \"dropped\" the "
              "requests the task dropped.\n\n",
              queue);
  std::printf("| round trip | task | queue | window | backup s | restore s | total s | vs window 1 | vs no queue "
              "| settled | dropped |\n|---|---|---|---|---|---|---|---|---|---|---|\n");

  bool ok = true;
  std::vector<std::string> goals;
  for (const std::string& service_us : services)
    for (const std::string& latency : latencies) {
      std::map<int, double> unbounded;  // window → total seconds with no bound on the queue
      for (const int bound : {0, queue}) {
        const Link link{latency, bound};
        const std::string row = latency + " ms | " + service_us + " µs | " + (bound ? std::to_string(bound) : "none");
        std::optional<Run> alone;
        for (const int window : kWindows) {
          const Run run = RunOnce(sim, link, service_us, window);
          const double total = run.backup_s + run.restore_s;
          const bool same = alone ? run.backup == alone->backup && run.records == alone->records &&
                                        run.refused == alone->refused
                                  : !run.backup.empty();
          if (!run.ok || !same || !run.store_unchanged) {
            ok = false;
            std::printf("| %s | %s | **failed**: %s | | | | | | |\n", row.c_str(), WindowName(window).c_str(),
                        !run.ok ? "the job's NV step failed" : !same ? "an item differs from window 1's" : "the store changed");
            if (!alone) break;
            continue;
          }
          if (!alone) alone = run;
          const double one = alone->backup_s + alone->restore_s;
          if (bound == 0) unbounded[window] = total;
          const auto without = unbounded.find(window);
          const double vs_unbounded = bound && without != unbounded.end() ? total / without->second : 0;
          std::printf("| %s | %s | %.2f | %.2f | **%.2f** | %.2f | %s | %s | %llu |\n", row.c_str(),
                      WindowName(window).c_str(), run.backup_s, run.restore_s, total, total / one,
                      vs_unbounded > 0 ? Format("%.2f ×", vs_unbounded).c_str() : "", Settled(run).c_str(),
                      run.dropped);
          if (window == kAuto && latency == "1")
            goals.push_back(bound ? Format("task %s µs, 1 ms, auto with a queue of %d that dropped %llu requests: "
                                           "%.2f × the time with no bound (goal ≤ 1.2)",
                                           service_us.c_str(), bound, run.dropped, vs_unbounded)
                                  : Format("task %s µs, 1 ms, auto: %.2f × window 1's time (goal ≤ 0.33)",
                                           service_us.c_str(), total / one));
        }
      }
    }
  std::printf("\n");
  for (const std::string& goal : goals) std::printf("- %s\n", goal.c_str());
  std::printf("\nEvery backup above equals window 1's byte for byte, and every restore wrote back as many items.\n\n");
  if (!ok) std::printf("**A run failed or lost an item; see the table.**\n\n");
  return ok ? 0 : 1;
}
