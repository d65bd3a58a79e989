// Peak memory and time of loading a 64 MiB image set (platform 6280): the
// loader should hold each file once, plus at most half the HEX text while the
// programmer converts. The load time is then measured again and again by
// Google Benchmark (files in the page cache, so the figure is the loader's own),
// and so is the SHA-256 of the set's fingerprint on its own.
#include <sys/resource.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "images/image_fingerprint.h"
#include "images/image_loader.h"
#include "images/image_set.h"
#include "images/platform_profile.h"
#include "records/job_records.h"

namespace {

constexpr int64_t kMiB = 1 << 20;

long PeakRssKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Written in small pieces so that making the files does not raise the peak.
int64_t WriteBinary(const std::string& path, int64_t size) {
  std::ofstream out(path, std::ios::binary);
  std::vector<char> chunk(64 * 1024);
  for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>(i * 31);
  for (int64_t left = size; left > 0; left -= static_cast<int64_t>(chunk.size()))
    out.write(chunk.data(), std::min<int64_t>(left, chunk.size()));
  return size;
}

int64_t WriteHex(const std::string& path, int64_t data_bytes) {
  std::ofstream out(path, std::ios::binary);
  int64_t written = 0;
  char line[64];
  for (int64_t offset = 0; offset < data_bytes; offset += 16) {
    int n = std::snprintf(line, sizeof line, ":10%04X00", static_cast<unsigned>(offset & 0xFFFF));
    for (int k = 0; k < 16; ++k) n += std::snprintf(line + n, sizeof line - n, "%02X", static_cast<unsigned>((offset + k) & 0xFF));
    n += std::snprintf(line + n, sizeof line - n, "00\r\n");
    out.write(line, n);
    written += n;
  }
  out << ":00000001FF\r\n";
  return written + 13;
}

// The set's files: 64 MiB in all, most of it amss.mbn. Returns the total size.
int64_t WriteImageSet(const std::filesystem::path& dir, int64_t& hex_text) {
  const vek::PlatformProfile& profile = *vek::ProfileOf(vek::PLATFORM_6280);
  hex_text = WriteHex(dir / profile.programmer_file, 1 * kMiB);
  int64_t total = hex_text;
  total += WriteBinary(dir / "partition.mbn", 1024);
  total += WriteBinary(dir / "oemsblhd.mbn", 40);
  total += WriteBinary(dir / "amsshd.mbn", 40);
  total += WriteBinary(dir / "qcsblhd_cfgdata.mbn", 512 * 1024);
  total += WriteBinary(dir / "qcsbl.mbn", 512 * 1024);
  total += WriteBinary(dir / "oemsbl.mbn", 1 * kMiB);
  total += WriteBinary(dir / "amss.mbn", 64 * kMiB - total);
  return total;
}

int64_t set_bytes = 0;

void LoadImageSet64MiB(benchmark::State& state) {
  vek::UpgradeJob& job = vek::TheJob();
  for (auto _ : state) {
    if (!vek::LoadImageSet(job)) state.SkipWithError("the image set did not load");
    vek::FreeImageSet();
  }
  state.SetBytesProcessed(state.iterations() * set_bytes);
}
BENCHMARK(LoadImageSet64MiB)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// The digest alone: what the fingerprint adds to a load, per byte.
void Sha256Of64MiB(benchmark::State& state) {
  std::vector<uint8_t> bytes(64 * kMiB);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 31);
  for (auto _ : state) {
    vek::Sha256Hasher hasher;
    hasher.Update(bytes);
    benchmark::DoNotOptimize(hasher.Finish());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
}
BENCHMARK(Sha256Of64MiB)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / "vek-bench-images";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  int64_t hex_text = 0;
  const int64_t total = WriteImageSet(dir, hex_text);
  set_bytes = total;

  vek::UpgradeJob& job = vek::TheJob();
  job.platform = vek::PLATFORM_6280;
  job.image_path.Set(dir.string());

  // OpenSSL sets itself up at its first digest, once per process: counted apart.
  const long unset = PeakRssKiB();
  vek::Sha256Hasher().Finish();
  const long before = PeakRssKiB();
  const auto start = std::chrono::steady_clock::now();
  const bool loaded = vek::LoadImageSet(job);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  const long after = PeakRssKiB();
  const int64_t programmer = vek::SlotData(vek::ImageSlot::kProgrammer).size;
  vek::FreeImageSet();

  std::printf("### Loading a 64 MiB image set in-process (bench_image_load)\n\n");
  std::printf("Image set %.1f MiB of files (HEX text %.2f MiB -> programmer %.2f MiB), loaded: %s. "
              "Peak RSS %.1f MiB before the load, %.1f MiB after: growth %.1f MiB, %.1f MiB over the files "
              "(bound: files + HEX text / 2 = %.1f MiB). First load %.1f ms. "
              "The SHA-256 library's set-up before it: %.1f MiB, once per process.\n\n",
              total / double(kMiB), hex_text / double(kMiB), programmer / double(kMiB), loaded ? "yes" : "**NO**",
              before / 1024.0, after / 1024.0, (after - before) / 1024.0,
              (after - before) / 1024.0 - total / double(kMiB), (total + hex_text / 2) / double(kMiB),
              std::chrono::duration<double, std::milli>(elapsed).count(), (before - unset) / 1024.0);
  if (loaded) {
    std::printf("Repeated loads (Google Benchmark, files in the page cache):\n\n```\n");
    std::fflush(stdout);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::printf("```\n\n");
  }
  std::filesystem::remove_all(dir);
  return loaded ? 0 : 1;
}
