// A full NV backup and restore against the simulated module, run as its own
// process (build/sim/vek-sim) so that this process's CPU time is the host's alone.
// The simulated firmware answers every request at once, so the figures are
// what the host side allows.
//
//   bench_nv_backup [path/to/vek-sim]
//
// Prints, as Markdown, the median over VEK_BENCH_RUNS runs (default 5) of the
// exchanges per second and host CPU seconds per wall second of each.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_support.h"
#include "quiet_job.h"
#include "link/port_source.h"
#include "link/serial_port.h"
#include "nv/nv_backup.h"
#include "nv/nv_item_table.h"
#include "records/job_records.h"

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kComBase = 20;
constexpr int kRecordBytes = 131;  // one record of the backup file

int BackupExchanges() {
  int exchanges = 0;
  for (const auto& entry : vek::NvItemTable)
    if (entry.enabled) exchanges += entry.count == 0 ? 1 : entry.count + 1;
  return exchanges;
}

struct Figures {
  std::vector<double> per_second, cpu;
  int exchanges = 0;
};

template <typename Operation>
bool Measure(Figures& figures, int exchanges, Operation operation) {
  const auto start = bench::Clock::now();
  const double cpu_start = bench::CpuSeconds(RUSAGE_SELF);
  const int result = operation();
  const double cpu = bench::CpuSeconds(RUSAGE_SELF) - cpu_start;
  const double wall = bench::SecondsSince(start);
  figures.exchanges = exchanges;
  figures.per_second.push_back(exchanges / wall);
  figures.cpu.push_back(cpu / wall);
  return result == vek::kNvCompleted;
}

// One backup and restore against a fresh module, in a scratch folder.
bool RunOnce(const std::string& sim, Figures& backup, Figures& restore) {
  bench::ScratchDir work;
  bench::ChildProcess module({sim, "--port-map", work / "ports", "--com-base", std::to_string(kComBase)}, {});
  if (!module.started() || !bench::WaitForPortMap(work / "ports")) return false;
  vek::SetPortMapPath(work / "ports");
  const std::string here = fs::current_path().string();
  bool ok = vek::OpenDiagPort(kComBase) && chdir(work.path().c_str()) == 0;
  if (ok) {
    vek::UpgradeJob& job = vek::TheJob();
    job.platform = vek::PLATFORM_6280;
    ok = Measure(backup, BackupExchanges(), [&] { return vek::BackupNv(job); });
    const int records = static_cast<int>(fs::file_size("backup.nvb") / kRecordBytes);
    // Each record is one write; the identity read follows.
    ok = Measure(restore, records + 1, [&] { return vek::RestoreNv(job); }) && ok;
  }
  vek::CloseDiagPort();
  module.Stop();
  if (chdir(here.c_str()) != 0) return false;
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string sim = argc > 1 ? argv[1] : bench::BuiltProgram("sim", "vek-sim");
  bench::QuietJob();

  const int runs = bench::Runs(5);
  Figures backup, restore;
  bool ok = true;
  for (int run = 0; run < runs && ok; ++run) ok = RunOnce(sim, backup, restore);

  std::printf("### NV backup and restore (bench_nv_backup)\n\n");
  std::printf("Against vek-sim (a child process that answers at once); median of %d runs.\n\n", runs);
  std::printf("| operation | exchanges | exchanges/s (goal ≥ 5 000) | host CPU s per s |\n|---|---|---|---|\n");
  std::printf("| backup | %d | **%.0f** | %.2f |\n", backup.exchanges, bench::Median(backup.per_second),
              bench::Median(backup.cpu));
  std::printf("| restore | %d | **%.0f** | %.2f |\n\n", restore.exchanges, bench::Median(restore.per_second),
              bench::Median(restore.cpu));
  if (!ok) std::printf("**A backup or restore failed; the figures above are incomplete.**\n\n");
  return ok ? 0 : 1;
}
