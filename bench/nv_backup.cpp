// A full NV backup and restore against the simulated module, run as its own
// process (build/sim/vek-sim) so that this process's CPU time is the host's alone.
//
//   bench_nv_backup [path/to/vek-sim]
//
// Prints exchanges per second and host CPU seconds per wall second for each.
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "link/port_source.h"
#include "link/serial_port.h"
#include "link/stop_wait.h"
#include "nv/nv_backup.h"
#include "nv/nv_item_table.h"
#include "upgrade/job_records.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

int Quiet(const char*, ...) { return 0; }
int QuietMessage(int, const char*, const char*) { return 0; }
int QuietProgress(uint32_t, int32_t) { return 0; }

double ProcessCpuSeconds() {
  rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double ThreadCpuSeconds() {
  timespec ts {};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

int BackupExchanges() {
  int exchanges = 0;
  for (const auto& entry : vek::NvItemTable)
    if (entry.enabled) exchanges += entry.count == 0 ? 1 : entry.count + 1;
  return exchanges;
}

template <typename Operation>
bool Measure(const char* name, int exchanges, Operation operation) {
  const auto wall_start = std::chrono::steady_clock::now();
  const double process_start = ProcessCpuSeconds();
  const double thread_start = ThreadCpuSeconds();
  const int result = operation();
  const double thread_cpu = ThreadCpuSeconds() - thread_start;
  const double process_cpu = ProcessCpuSeconds() - process_start;
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
  std::printf("%-8s result %d  %5d exchanges in %.3f s: %7.0f exchanges/s, host CPU %.3f s/s (thread %.3f s/s)\n",
              name, result, exchanges, wall, exchanges / wall, process_cpu / wall, thread_cpu / wall);
  return result == vek::kNvCompleted;
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path self = fs::read_symlink("/proc/self/exe");
  const std::string sim = argc > 1 ? argv[1] : (self.parent_path().parent_path() / "sim" / "vek-sim").string();
  char pattern[] = "/tmp/vek-bench-XXXXXX";
  const std::string work = mkdtemp(pattern);
  const std::string ports = work + "/ports";

  const char* sim_argv[] = {sim.c_str(), "--port-map", ports.c_str(), "--com-base", "20", nullptr};
  pid_t child = 0;
  if (posix_spawn(&child, sim.c_str(), nullptr, nullptr, const_cast<char**>(sim_argv), environ) != 0) {
    std::fprintf(stderr, "bench_nv_backup: cannot start %s\n", sim.c_str());
    return 1;
  }
  vek::SetPortMapPath(ports);
  bool open = false;
  for (int i = 0; i < 100 && !open; ++i) {
    vek::PauseMs(50);
    open = vek::OpenDiagPort(20);
  }
  int status = 1;
  if (!open) {
    std::fprintf(stderr, "bench_nv_backup: the simulated module did not come up\n");
  } else if (chdir(work.c_str()) == 0) {
    vek::UpgradeJob& job = vek::TheJob();
    job.show_status = Quiet;
    job.write_log = Quiet;
    job.show_message = QuietMessage;
    job.show_progress = QuietProgress;
    job.platform = vek::PLATFORM_6280;
    const bool backed_up = Measure("backup", BackupExchanges(), [&] { return vek::BackupNv(job); });
    const int records = static_cast<int>(fs::file_size("backup.nvb") / 131);
    std::printf("backup.nvb: %d records\n", records);
    // Each record is one write; the identity read follows.
    const bool restored = Measure("restore", records + 1, [&] { return vek::RestoreNv(job); });
    status = backed_up && restored ? 0 : 1;
  }
  vek::CloseDiagPort();
  kill(child, SIGTERM);
  waitpid(child, nullptr, 0);
  fs::remove_all(work);
  return status;
}
