// Trays of simulated modules flashed at once by vek-factory, against one module
// alone, all at one time scale.
//
//   bench_factory_scale [--time-scale S] [--image-kib K] [--sizes N,N,...]
//                       (defaults 0.2, 512 and 1,2,4,8; vek-sim holds 1 to 32; one
//                       module alone is always run first, as the measure of the others)
//
// Each run: vek-sim --modules N publishes the tray, vek-factory --count N flashes
// it in a scratch working folder. Measured:
// - the tray's wall time: vek-factory from start to exit (every job ended);
// - host CPU: vek-factory's wait4() figures, which hold vek-factory and every
//   descendant it reaped (each job's vek-cli);
// - each vek-cli's own CPU and peak memory: vek-factory starts "vek-cli" from
//   beside itself, so it runs from a folder holding a copy of vek-factory and,
//   as "vek-cli", bench_child_usage, which runs the real vek-cli, reaps it with
//   wait4() and writes its figures down (its own small CPU is taken out again);
// - vek-sim's CPU on its own (it stands in for the modules' hardware).
// Each size is run VEK_BENCH_RUNS times (default 3); printed as Markdown.
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>

#include "bench_support.h"

namespace {

namespace fs = std::filesystem;

constexpr size_t kDefaultSizes[] = {1, 2, 4, 8};
constexpr size_t kMostModules = 32;

constexpr double kMiB = 1024.0;  // ru_maxrss is in KiB

struct Programs {
  std::string sim = bench::BuiltProgram("sim", "vek-sim");
  std::string make_images = bench::BuiltProgram("sim", "vek-make-images");
  std::string factory = bench::BuiltProgram("cli", "vek-factory");
  std::string cli = bench::BuiltProgram("cli", "vek-cli");
  std::string child_usage = bench::BuiltProgram("bench", "bench_child_usage");
};

struct TrayRun {
  bool ok = false;
  std::string why;          // what went wrong, when not ok
  double wall = 0;          // vek-factory, start to exit
  double host_cpu = 0;      // vek-factory and its vek-cli children
  double cli_cpu = 0;       // the vek-cli children alone
  double sim_cpu = 0;       // vek-sim, the whole tray
  double longest_job = 0;   // the longest duration in the report
  double machine_busy = 0;  // share of all cores busy meanwhile (every process, kernel workers too)
  std::vector<double> cli_rss_mib;
};

// Takes the wrappers' lines: the vek-cli figures into `run`; returns the
// wrappers' own CPU, which is in vek-factory's figures but is no part of the job.
double ReadChildUsage(const std::string& path, size_t modules, TrayRun& run) {
  double wrappers = 0;
  size_t lines = 0, succeeded = 0;
  for (const bench::ChildUsage& usage : bench::ReadChildUsage(path)) {
    ++lines;
    if (usage.status == 0) ++succeeded;
    run.cli_cpu += usage.cpu();
    run.cli_rss_mib.push_back(static_cast<double>(usage.max_rss_kib) / kMiB);
    wrappers += usage.wrapper_cpu();
  }
  if (lines != modules || succeeded != modules)
    run.why = std::to_string(succeeded) + " of " + std::to_string(modules) + " vek-cli succeeded";
  return wrappers;
}

// Checks the report: one "succeeded" line per module; the longest duration.
bool ReadReport(const std::string& path, size_t modules, TrayRun& run) {
  const bench::ReportSummary report = bench::ReadReport(path);
  run.longest_job = report.longest_job;
  if (report.succeeded != modules && run.why.empty())
    run.why = "the report has " + std::to_string(report.succeeded) + " succeeded line(s) of " + std::to_string(modules);
  return report.succeeded == modules;
}

TrayRun RunTray(const Programs& programs, const std::string& bin, const std::string& images, size_t modules,
                const std::string& time_scale) {
  bench::ScratchDir work;
  TrayRun run;
  const std::string scale = "VEK_TIME_SCALE=" + time_scale;
  fs::create_directories(work / "runtime");
  fs::create_directories(work / "tray");
  bench::ChildProcess sim(bench::SimulatedTray(programs.sim, work / "ports", modules), {"", {scale}, false});
  if (!sim.started() || !bench::WaitForTray(work / "ports", modules)) {
    run.why = "vek-sim did not publish the tray";
    return run;
  }
  const auto [busy_before, total_before] = bench::MachineTicks();
  // Past the deadline vek-factory is stopped (it stops its jobs too).
  bench::Program running(
      {bin + "/vek-factory", "--port-map", work / "ports", "--images", images, "--count", std::to_string(modules),
       "--report", work / "report.jsonl", "--timeout", "60", "--station-db", work / "station.db"},
      work / "tray",
      {scale, "XDG_RUNTIME_DIR=" + (work / "runtime"), "VEK_BENCH_CHILD_PROGRAM=" + programs.cli,
       "VEK_BENCH_CHILD_USAGE=" + (work / "usage")},
      work / "factory.out");
  const bench::Program::Ended factory = running.Wait(600);
  const auto [busy_after, total_after] = bench::MachineTicks();
  run.machine_busy = total_after > total_before ? (busy_after - busy_before) / (total_after - total_before) : 0;
  sim.Stop();
  run.wall = factory.wall;
  run.sim_cpu = sim.cpu_seconds();
  const double wrappers = ReadChildUsage(work / "usage", modules, run);
  run.host_cpu = bench::CpuSeconds(factory.usage) - wrappers;
  run.ok = ReadReport(work / "report.jsonl", modules, run) && run.why.empty() && factory.status == 0;
  if (!run.ok && run.why.empty()) run.why = "vek-factory exited " + std::to_string(factory.status);
  return run;
}

std::vector<double> Column(const std::vector<TrayRun>& runs, double (*figure)(const TrayRun&)) {
  std::vector<double> values;
  for (const auto& run : runs) values.push_back(figure(run));
  return values;
}

// "median (min–max)" with `digits` decimals.
std::string Spread(const std::vector<double>& values, int digits) {
  char text[96];
  const auto [low, high] = std::minmax_element(values.begin(), values.end());
  std::snprintf(text, sizeof text, "%.*f (%.*f–%.*f)", digits, bench::Median(values), digits,
                values.empty() ? 0 : *low, digits, values.empty() ? 0 : *high);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  std::string time_scale = "0.2";
  size_t image_kib = 512;
  std::vector<size_t> sizes(std::begin(kDefaultSizes), std::end(kDefaultSizes));
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--time-scale") == 0) time_scale = argv[i + 1];
    else if (std::strcmp(argv[i], "--image-kib") == 0) image_kib = std::strtoul(argv[i + 1], nullptr, 10);
    else if (std::strcmp(argv[i], "--sizes") == 0) {
      const auto named = bench::Sizes(argv[i + 1], kMostModules);
      if (!named) {
        std::fprintf(stderr, "bench_factory_scale: --sizes expects numbers of modules from 1 to %zu, as 1,8,16,32\n",
                     kMostModules);
        return 2;
      }
      sizes = *named;
    }
  }
  const Programs programs;
  const int runs = bench::Runs(3);
  const long cores = sysconf(_SC_NPROCESSORS_ONLN);
  bench::ScratchDir scratch;
  const std::string images = scratch / "images", bin = scratch / "bin";
  bench::ChildProcess make({programs.make_images, images, "--platform", "2", "--image-kib", std::to_string(image_kib)},
                           {});
  if (make.Wait() != 0 || !bench::MakeFactoryFolder(programs.factory, programs.child_usage, bin)) {
    std::printf("**bench_factory_scale: cannot make the images or the folder of vek-factory.**\n\n");
    return 1;
  }
  uint64_t set_bytes = 0;
  for (const auto& entry : fs::directory_iterator(images)) set_bytes += entry.file_size();

  const std::string load_before = bench::LoadAverage();
  std::vector<std::vector<TrayRun>> results;
  bool ok = true;
  for (const size_t modules : sizes) {
    results.emplace_back();
    for (int i = 0; i < runs; ++i) {
      std::fprintf(stderr, "bench_factory_scale: %zu module(s), run %d of %d\n", modules, i + 1, runs);
      results.back().push_back(RunTray(programs, bin, images, modules, time_scale));
      const TrayRun& run = results.back().back();
      if (!run.ok) std::fprintf(stderr, "bench_factory_scale: failed: %s\n", run.why.c_str());
      ok = ok && run.ok;
    }
  }

  std::printf("### Many modules at once: vek-factory against a tray of vek-sim modules (bench_factory_scale)\n\n");
  std::string listed;
  for (const size_t size : sizes) listed += (listed.empty() ? "" : ", ") + std::to_string(size);
  std::printf("Trays of %s simulated ZX2180 modules flashed at once (backup, download of a %.1f MiB image "
              "set, restore) by `vek-factory --count N`, at VEK_TIME_SCALE=%s. Median (min–max) of %d runs per "
              "size; %ld cores; load average %s before, %s after.\n\n",
              listed.c_str(), static_cast<double>(set_bytes) / (1 << 20), time_scale.c_str(), runs, cores, load_before.c_str(),
              bench::LoadAverage().c_str());
  std::printf("| modules | tray wall s | × one module | longest job s | host CPU s per module | × single job | "
              "vek-sim CPU s per module | vek-cli peak memory MiB | cores busy: ours / machine |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|\n");
  const double one_wall = bench::Median(Column(results[0], [](const TrayRun& r) { return r.wall; }));
  const double one_cpu = bench::Median(Column(results[0], [](const TrayRun& r) { return r.host_cpu; }));
  std::map<size_t, double> ratios;
  for (size_t s = 0; s < results.size(); ++s) {
    const auto& tray = results[s];
    const double n = static_cast<double>(sizes[s]);
    const auto walls = Column(tray, [](const TrayRun& r) { return r.wall; });
    std::vector<double> cpu, sim, rss, busy, machine;
    for (const auto& run : tray) {
      cpu.push_back(run.host_cpu / n);
      sim.push_back(run.sim_cpu / n);
      busy.push_back(run.wall > 0 ? (run.host_cpu + run.sim_cpu) / run.wall / static_cast<double>(cores) : 0);
      machine.push_back(run.machine_busy);
      rss.insert(rss.end(), run.cli_rss_mib.begin(), run.cli_rss_mib.end());
    }
    const double ratio = one_wall > 0 ? bench::Median(walls) / one_wall : 0;
    ratios[sizes[s]] = ratio;
    const bool all_ok = std::all_of(tray.begin(), tray.end(), [](const TrayRun& r) { return r.ok; });
    std::printf("| %zu%s | %s | %.2f | %s | %s | %.2f | %s | %s | %.0f %% / %.0f %% |\n", sizes[s],
                all_ok ? "" : " (**a job failed**)", Spread(walls, 2).c_str(), ratio,
                Spread(Column(tray, [](const TrayRun& r) { return r.longest_job; }), 2).c_str(),
                Spread(cpu, 2).c_str(), one_cpu > 0 ? bench::Median(cpu) / one_cpu : 0, Spread(sim, 2).c_str(),
                Spread(rss, 1).c_str(), 100 * bench::Median(busy), 100 * bench::Median(machine));
  }
  // The goals: a tray of 8 within 1.1 × the time of one module, of 32 within 1.25 ×.
  for (const auto& [modules, goal] : {std::pair<size_t, double>{8, 1.1}, {32, 1.25}}) {
    if (!ratios.contains(modules)) continue;
    std::printf("\nGoal: %zu modules within %.2f × the time of one: **%.2f × — %s**.\n", modules, goal, ratios[modules],
                ok && ratios[modules] > 0 && ratios[modules] <= goal ? "met" : "not met");
  }
  std::printf("\n");
  std::printf("Tray wall: vek-factory from start until every job ended (vek-sim started before, its ports "
              "published). Longest job: the longest duration in vek-factory's report. Host CPU: vek-factory and "
              "its vek-cli children (user + sys, wait4); × single job compares the median per module with the "
              "one-module run. vek-sim's CPU is apart: it stands in for the modules' own hardware. Peak memory: "
              "each vek-cli's max RSS, all modules of all runs. Cores busy: ours is (host + vek-sim CPU) ÷ (wall × cores); the machine's is every process's and the kernel's (the ptys' workers among them) over the same time, from /proc/stat.\n\n");
  return ok ? 0 : 1;
}
