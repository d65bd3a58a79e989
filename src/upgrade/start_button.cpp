#include "upgrade/start_button.h"

#include <atomic>

#include "app/log_file.h"
#include "records/job_records.h"
#include "upgrade/download_worker.h"
#include "upgrade/supported_models.h"

namespace vek {
namespace {

std::atomic<int> start_count{0};

}  // namespace

int StartCount() { return start_count.load(); }

bool PressStart(WindowNotifications& window, WorkerThread& worker, const VaultSearch* vault) {
  UpgradeJob& job = TheJob();
  const int count = ++start_count;
  if (count > 1) ReopenLogFile();  // a fresh log for this run
  job.write_log("Button: cnt=%d", count);
  const uint32_t mode = job.target_state;
  if (mode != TARGET_DIAG && mode != TARGET_UNSPECIFIED) {
    const int position = window.SelectedProductPosition();
    if (position < 0) {
      job.show_message(1, "please choose the project!", "Error");
      job.write_log("Button: please choose the project!!!");
      return false;
    }
    uint32_t platform = job.platform;
    if (PlatformOfProductPosition(position, platform)) job.platform = platform;
  }
  window.DisableJobControls();
  job.show_progress(0, 1);
  return worker.Start([&window, vault] { return DownloadWorker(window, vault); });
}

}  // namespace vek
