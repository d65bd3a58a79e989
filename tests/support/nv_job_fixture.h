// A job whose reports are captured, run in a scratch working folder against a
// simulated module in firmware mode.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "link/port_source.h"
#include "link/serial_port.h"
#include "nv/nv_exchange.h"
#include "nv/nv_item_table.h"
#include "records/job_records.h"
#include "records/reporting.h"
#include "sim/sim_module.h"
#include "test_support.h"

namespace nvtest {

using Bytes = std::vector<uint8_t>;

struct Captured {
  std::mutex mutex;
  std::vector<std::string> statuses;
  std::vector<std::string> logs;
  std::vector<std::pair<std::string, std::string>> messages;  // text, caption
  std::vector<std::pair<uint32_t, int32_t>> progress;
  std::atomic<int> progress_calls{0};

  void Clear() {
    std::lock_guard lock(mutex);
    statuses.clear();
    logs.clear();
    messages.clear();
    progress.clear();
    progress_calls = 0;
  }
  bool Logged(const std::string& text) {
    std::lock_guard lock(mutex);
    return std::find(logs.begin(), logs.end(), text) != logs.end();
  }
  bool Shown(const std::string& text) {
    std::lock_guard lock(mutex);
    return std::find(statuses.begin(), statuses.end(), text) != statuses.end();
  }
  int LogCount(const std::string& prefix) {
    std::lock_guard lock(mutex);
    return static_cast<int>(
        std::count_if(logs.begin(), logs.end(), [&](const std::string& s) { return s.rfind(prefix, 0) == 0; }));
  }
};

inline Captured& Reports() {
  static Captured captured;
  return captured;
}

inline std::string Format(const char* format, va_list args) {
  return vek::FormatBounded(300, format, args);
}

inline int CaptureStatus(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = Format(format, args);
  va_end(args);
  std::lock_guard lock(Reports().mutex);
  Reports().statuses.push_back(text);
  return 0;
}

inline int CaptureLog(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = Format(format, args);
  va_end(args);
  std::lock_guard lock(Reports().mutex);
  Reports().logs.push_back(text);
  return 0;
}

inline int CaptureMessage(int kind, const char* text, const char* caption) {
  std::lock_guard lock(Reports().mutex);
  Reports().messages.emplace_back(text, caption);
  return 1;
}

inline int CaptureProgress(uint32_t done, int32_t total) {
  std::lock_guard lock(Reports().mutex);
  Reports().progress.emplace_back(done, total);
  Reports().progress_calls.fetch_add(1);
  return 0;
}

inline Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline uint16_t ItemOf(const Bytes& packet) { return packet.size() >= 3 ? packet[1] | (packet[2] << 8) : 0xFFFF; }

// The backup a module's store should give: one record per readable item and
// per array element, in item order.
inline Bytes ExpectedBackup(const sim::SimNvStore& store) {
  Bytes out;
  for (uint16_t id = 0; id < vek::kNvItemCount; ++id) {
    const vek::NvItemEntry entry = vek::NvItemTable[id];
    if (!entry.enabled || sim::SimNvStore::ReadStatus(id) != 0) continue;
    const int elements = entry.count == 0 ? 1 : entry.count;
    for (int e = 0; e < elements; ++e) {
      out.push_back(0x26);
      out.push_back(static_cast<uint8_t>(id & 0xFF));
      out.push_back(static_cast<uint8_t>(id >> 8));
      const sim::NvBytes data = store.Element(id, e);
      out.insert(out.end(), data.begin(), data.end());
    }
  }
  return out;
}

class NvJob : public ::testing::Test {
 protected:
  void SetUp() override {
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    old_cwd_ = cwd;
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    vek::UpgradeJob& job = vek::TheJob();
    job.show_status = CaptureStatus;
    job.write_log = CaptureLog;
    job.show_message = CaptureMessage;
    job.show_progress = CaptureProgress;
    job.platform = vek::PLATFORM_6280;
    Reports().Clear();
  }

  void TearDown() override {
    vek::CloseDiagPort();
    if (module_) module_->Stop();
    vek::SetPortMapPath("");
    [[maybe_unused]] int ignored = chdir(old_cwd_.c_str());
  }

  void StartModule(const sim::NvOptions& nv = {}, const sim::DiagLinkOptions& link = {}) {
    sim::SimModuleOptions options;
    options.port_map_path = ports_.File("ports");
    options.nv = nv;
    options.diag_link = link;
    module_ = std::make_unique<sim::SimModule>(options);
    ASSERT_TRUE(module_->Start());
    vek::SetPortMapPath(options.port_map_path);
    ASSERT_TRUE(vek::OpenDiagPort(module_->ComNumber(sim::SimPortRole::kDiagnostics)));
  }

  sim::SimNvStore& Store() { return module_->device().nv; }

  // The NV requests the module received for one item.
  std::vector<Bytes> RequestsFor(uint8_t command, uint16_t item) {
    std::vector<Bytes> out;
    for (const auto& request : module_->Requests())
      if (!request.packet.empty() && request.packet[0] == command && ItemOf(request.packet) == item)
        out.push_back(request.packet);
    return out;
  }

  vek::UpgradeJob& job() { return vek::TheJob(); }

  vektest::TempDir dir_;    // the working folder
  vektest::TempDir ports_;  // the port map, apart from the backups
  std::string old_cwd_;
  std::unique_ptr<sim::SimModule> module_;
};

}  // namespace nvtest
