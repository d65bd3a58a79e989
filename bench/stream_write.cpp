// Writes a 16 MiB image to the simulated programmer over a pseudo-terminal and
// reports the throughput and the host's CPU time per wall-clock second.
//
//   bench_stream_write [--sim PATH_TO_VEK_SIM] [--mib N]
//
// The simulated module runs as a child process (vek-sim), so the host's own
// CPU time (getrusage RUSAGE_SELF) excludes the module's work; the module's
// share is reported separately from RUSAGE_CHILDREN once it has ended.
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "images/image_set.h"
#include "link/crc16.h"
#include "link/port_source.h"
#include "link/serial_port.h"
#include "link/stop_wait.h"
#include "protocol/stream_commands.h"
#include "upgrade/job_records.h"

extern char** environ;

namespace {

constexpr uint32_t kComBase = 20;

double Seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

double CpuSeconds(int who) {
  rusage usage {};
  getrusage(who, &usage);
  return Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
}

double SystemSeconds(int who) {
  rusage usage {};
  getrusage(who, &usage);
  return Seconds(usage.ru_stime);
}

std::string DefaultSimPath() {
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  return (self.parent_path().parent_path() / "sim" / "vek-sim").string();
}

struct Child {
  pid_t pid = -1;
  int stderr_fd = -1;
};

Child StartSim(const std::string& sim, const std::string& map, const std::vector<std::string>& extra) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDERR_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
  std::vector<std::string> args = {sim, "--port-map", map, "--state", "programmer", "--com-base",
                                   std::to_string(kComBase)};
  args.insert(args.end(), extra.begin(), extra.end());
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  Child child;
  if (posix_spawn(&child.pid, sim.c_str(), &actions, nullptr, argv.data(), environ) != 0) child.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(pipe_fds[1]);
  child.stderr_fd = pipe_fds[0];
  return child;
}

std::string StopSim(Child& child) {
  kill(child.pid, SIGTERM);
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(child.stderr_fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  close(child.stderr_fd);
  int status = 0;
  waitpid(child.pid, &status, 0);
  return text;
}

// One image written with the platform's block size; false when a step failed.
bool WriteOnce(uint32_t platform, const char* label, size_t bytes) {
  vek::TheJob().platform = platform;
  const double cpu_before = CpuSeconds(RUSAGE_SELF);
  const double system_before = SystemSeconds(RUSAGE_SELF);
  const auto wall_before = std::chrono::steady_clock::now();
  const bool ok = vek::StreamOpenImage(vek::IMAGE_AMSS) && vek::StreamWriteImage(vek::IMAGE_AMSS) && vek::StreamClose();
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_before).count();
  const double cpu = CpuSeconds(RUSAGE_SELF) - cpu_before;
  const double system = SystemSeconds(RUSAGE_SELF) - system_before;
  std::printf("%-18s %s %7.2f MiB/s %6.2f s wall, host CPU %5.2f s (%.2f s in the kernel) = %.3f CPU s per wall s\n",
              label, ok ? "ok" : "FAILED", static_cast<double>(bytes) / (1 << 20) / wall, wall, cpu, system,
              cpu / wall);
  return ok;
}

// One session with a fresh vek-sim: the image is written once per block size.
bool Session(const std::string& sim, const std::vector<std::string>& sim_args, const std::vector<uint32_t>& platforms,
             size_t bytes, uint16_t crc) {
  char pattern[] = "/tmp/vek-bench-XXXXXX";
  const std::string dir = mkdtemp(pattern);
  const std::string map = dir + "/ports";
  Child child = StartSim(sim, map, sim_args);
  if (child.pid < 0) {
    std::fprintf(stderr, "cannot start %s\n", sim.c_str());
    return false;
  }
  vek::SetPortMapPath(map);
  for (int i = 0; i < 500 && !vek::ResolvePortNumber(kComBase); ++i) vek::PauseMs(10);
  bool ok = vek::OpenDiagPort(kComBase);
  if (!ok) std::fprintf(stderr, "the simulated module's port did not appear\n");
  for (uint32_t platform : platforms) {
    if (!ok) break;
    ok = WriteOnce(platform, platform == vek::PLATFORM_60X5 ? "512-byte blocks" : "1024-byte blocks", bytes);
  }
  vek::CloseDiagPort();
  const double sim_cpu_before = CpuSeconds(RUSAGE_CHILDREN);
  const std::string summary = StopSim(child);
  std::printf("  module (vek-sim) CPU in this session: %.2f s\n", CpuSeconds(RUSAGE_CHILDREN) - sim_cpu_before);
  char expected[96];
  std::snprintf(expected, sizeof expected, "flash image 5: header 0 bytes, data %zu bytes, crc %04X\n", bytes, crc);
  const bool verified = summary.find(expected) != std::string::npos;
  std::printf("  flash contents %s\n", verified ? "verified (size and CRC match)" : "DO NOT MATCH");
  std::filesystem::remove_all(dir);
  return ok && verified;
}

}  // namespace

int main(int argc, char** argv) {
  std::string sim = DefaultSimPath();
  size_t mib = 16;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    if (arg == "--sim") sim = argv[i + 1];
    else if (arg == "--mib") mib = std::strtoul(argv[i + 1], nullptr, 10);
  }
  if (mib < 1 || mib > 256) mib = 16;
  const size_t bytes = mib << 20;
  std::vector<uint8_t> image(bytes);
  for (size_t i = 0; i < bytes; ++i) image[i] = static_cast<uint8_t>((i * 2654435761u) >> 13);  // escapes included
  const uint16_t crc = vek::Crc16(image.data(), static_cast<int>(bytes * 8));
  vek::StoreImageSlot(vek::ImageSlot::kAmss, std::move(image));

  std::printf("writing %zu MiB to the simulated programmer (vek-sim child process)\n", mib);
  std::printf("a module that answers every block at once:\n");
  bool ok = Session(sim, {}, {vek::PLATFORM_6280, vek::PLATFORM_60X5}, bytes, crc);
  std::printf("a module that takes 1 ms to program each block:\n");
  ok = Session(sim, {"--fault", "programmer:07:late:1"}, {vek::PLATFORM_6280}, bytes, crc) && ok;
  return ok ? 0 : 1;
}
