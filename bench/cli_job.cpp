// Whole jobs of vek-cli against vek-sim (both child processes), measured from
// the outside: vek-cli's own CPU time and peak memory come from wait4(), the
// share of the program's fixed pauses from what `vek-cli --verbose` prints.
//
//   bench_cli_job [--skip-default-job]
//
// 1. The default job at time scale 1: backup, download and restore of a small
//    image set (platform 6280, vek-make-images' default sizes). About a minute each.
// 2. Waiting for a module that is not there: vek-cli --timeout 10 with no port.
// 3. A job with a 64 MiB image set (time scale 0.2): vek-cli's peak memory.
// Each is run VEK_BENCH_RUNS times (default 3); medians are printed as Markdown.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_support.h"

namespace {

namespace fs = std::filesystem;

constexpr double kMiB = 1 << 20;
constexpr int kIdleSeconds = 10;

struct Programs {
  std::string sim = bench::BuiltProgram("sim", "vek-sim");
  std::string make_images = bench::BuiltProgram("sim", "vek-make-images");
  std::string cli = bench::BuiltProgram("cli", "vek-cli");
};

struct JobRun {
  int status = -1;
  double wall = 0, cpu = 0, max_rss_mib = 0, fixed_waits = -1, cli_total = -1;
};

uint64_t FolderBytes(const std::string& folder) {
  uint64_t total = 0;
  for (const auto& entry : fs::directory_iterator(folder))
    if (entry.is_regular_file()) total += entry.file_size();
  return total;
}

bool MakeImages(const Programs& programs, const std::string& folder, size_t image_kib) {
  bench::ChildProcess make({programs.make_images, folder, "--platform", "2", "--image-kib", std::to_string(image_kib)},
                           {});
  return make.Wait() == 0;
}

// The image size per file that makes the whole folder about `target` bytes.
size_t ImageKibFor(const Programs& programs, const bench::ScratchDir& scratch, uint64_t target) {
  if (!MakeImages(programs, scratch / "probe1", 1) || !MakeImages(programs, scratch / "probe2", 2)) return 0;
  const uint64_t one = FolderBytes(scratch / "probe1"), two = FolderBytes(scratch / "probe2");
  const uint64_t per_kib = two - one, fixed = one - per_kib;
  return per_kib ? static_cast<size_t>((target - fixed) / per_kib) : 0;
}

// "vek-cli: fixed waits: 12.3 s of 20.1 s"
void ReadFixedWaits(const std::string& output, JobRun& run) {
  const auto at = output.rfind("fixed waits: ");
  if (at == std::string::npos) return;
  std::sscanf(output.c_str() + at, "fixed waits: %lf s of %lf s", &run.fixed_waits, &run.cli_total);
}

// One vek-cli run in a fresh scratch folder, with a fresh vek-sim unless `no_module`.
JobRun RunCli(const Programs& programs, const std::string& images, const char* time_scale, bool no_module) {
  bench::ScratchDir work;
  const std::string scale = std::string("VEK_TIME_SCALE=") + time_scale;
  const std::string runtime = "XDG_RUNTIME_DIR=" + work.path();
  std::unique_ptr<bench::ChildProcess> module;
  JobRun run;
  if (no_module) {
    std::ofstream(work / "ports") << "# no module\n";
  } else {
    module = std::make_unique<bench::ChildProcess>(
        std::vector<std::string>{programs.sim, "--port-map", work / "ports", "--model", "ZX2180", "--revision",
                                 "ZX2180_SIM_V1.0", "--revision-after-download", "ZX2180_SIM_V1.1"},
        bench::ChildProcess::Setup{"", {scale}, false});
    if (!module->started() || !bench::WaitForPortMap(work / "ports")) return run;
  }
  fs::create_directories(work / "run");
  std::vector<std::string> args = {programs.cli, "--port-map", work / "ports", "--images", images, "--verbose"};
  if (no_module) args.insert(args.end(), {"--timeout", std::to_string(kIdleSeconds)});
  // The job's record goes to the scratch folder's own database, never the user's.
  const std::string station_db = "VEK_STATION_DB=" + (work / "station.db");
  bench::ChildProcess cli(args, {work / "run", {scale, runtime, station_db}, false});
  run.status = cli.Wait();
  run.wall = cli.wall_seconds();
  run.cpu = cli.cpu_seconds();
  run.max_rss_mib = cli.max_rss_mib();
  ReadFixedWaits(cli.output(), run);
  if (module) module->Stop();
  return run;
}

std::vector<double> Column(const std::vector<JobRun>& runs, double JobRun::*field) {
  std::vector<double> values;
  for (const auto& run : runs) values.push_back(run.*field);
  return values;
}

std::vector<double> CpuShare(const std::vector<JobRun>& runs) {
  std::vector<double> values;
  for (const auto& run : runs) values.push_back(run.wall > 0 ? run.cpu / run.wall : 0);
  return values;
}

bool AllExited(const std::vector<JobRun>& runs, int status) {
  for (const auto& run : runs)
    if (run.status != status) return false;
  return !runs.empty();
}

}  // namespace

int main(int argc, char** argv) {
  const bool skip_default = argc > 1 && std::strcmp(argv[1], "--skip-default-job") == 0;
  const Programs programs;
  const int runs = bench::Runs(3);
  bench::ScratchDir scratch;
  bool ok = true;

  std::printf("### Whole jobs of vek-cli against vek-sim (bench_cli_job)\n\n");
  std::printf("vek-cli and vek-sim are separate child processes; vek-cli's CPU time and peak memory "
              "are its own (wait4). Median of %d runs each.\n\n", runs);

  // 1. The default job at the module's real timing.
  if (!skip_default) {
    const std::string images = scratch / "small";
    std::vector<JobRun> jobs;
    if (MakeImages(programs, images, 512))
      for (int i = 0; i < runs; ++i) jobs.push_back(RunCli(programs, images, "1", false));
    const bool good = AllExited(jobs, 0);
    ok = ok && good;
    const double wall = bench::Median(Column(jobs, &JobRun::cli_total));
    const double fixed = bench::Median(Column(jobs, &JobRun::fixed_waits));
    std::printf("**Default job** (backup + download + restore, %.1f MiB image set, VEK_TIME_SCALE=1)%s:\n\n",
                FolderBytes(images) / kMiB, good ? "" : " — **a job failed**");
    std::printf("| figure | median |\n|---|---|\n");
    std::printf("| whole run of vek-cli (connect + job) | %.1f s |\n", wall);
    std::printf("| fixed waits (the program's own pauses) | %.1f s |\n", fixed);
    std::printf("| everything else (our work + the module's answers, its reboots included) | %.1f s |\n",
                wall - fixed);
    std::printf("| vek-cli CPU time | %.2f s |\n", bench::Median(Column(jobs, &JobRun::cpu)));
    std::printf("| host CPU s per wall s (goal < 0.1) | **%.4f** |\n\n", bench::Median(CpuShare(jobs)));
  }

  // 2. Waiting for a module that never comes.
  {
    const std::string images = scratch / "idle";
    std::vector<JobRun> idle;
    if (MakeImages(programs, images, 64))
      for (int i = 0; i < runs; ++i) idle.push_back(RunCli(programs, images, "1", true));
    const bool good = AllExited(idle, 3);
    ok = ok && good;
    std::printf("**Waiting for a module** (no port, `--timeout %d`, VEK_TIME_SCALE=1)%s: vek-cli used %.3f CPU s "
                "in %.1f s, host CPU s per wall s **%.4f** (goal < 0.02).\n\n",
                kIdleSeconds, good ? "" : " — **vek-cli did not end as expected**",
                bench::Median(Column(idle, &JobRun::cpu)), bench::Median(Column(idle, &JobRun::wall)),
                bench::Median(CpuShare(idle)));
  }

  // 3. Peak memory with a 64 MiB image set.
  {
    const std::string images = scratch / "large";
    const size_t kib = ImageKibFor(programs, scratch, 64ull << 20);
    std::vector<JobRun> jobs;
    if (kib > 0 && MakeImages(programs, images, kib))
      for (int i = 0; i < runs; ++i) jobs.push_back(RunCli(programs, images, "0.2", false));
    const bool good = AllExited(jobs, 0);
    ok = ok && good;
    const double set = FolderBytes(images) / kMiB;
    const double rss = bench::Median(Column(jobs, &JobRun::max_rss_mib));
    std::printf("**Peak memory with a 64 MiB image set** (VEK_TIME_SCALE=0.2)%s: image set %.1f MiB, "
                "vek-cli max RSS %.1f MiB = set + **%.1f MiB** (goal: set + under 32 MiB); the job took %.1f s, "
                "host CPU s per wall s %.3f.\n\n",
                good ? "" : " — **a job failed**", set, rss, rss - set, bench::Median(Column(jobs, &JobRun::wall)),
                bench::Median(CpuShare(jobs)));
  }
  return ok ? 0 : 1;
}
