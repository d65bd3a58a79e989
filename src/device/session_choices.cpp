// The operator's choices and what the window shows, on the process's job and
// device records.
#include "device/session.h"

#include "images/image_loader.h"
#include "images/product_catalogue.h"
#include "records/job_facts.h"
#include "records/reporting.h"
#include "records/stop_wait.h"
#include "upgrade/download_worker.h"
#include "upgrade/status_report.h"
#include "upgrade/supported_models.h"

namespace vek {

ProductList Session::MatchProduct(std::string_view identification) {
  ProductList products = vek::MatchProduct(TheJob(), identification);
  if (products.selected >= 0 && products.selected < static_cast<int>(products.names.size()))
    NoteProduct(products.names[products.selected]);
  return products;
}

ProductList Session::AllProducts() { return vek::AllProducts(); }

int Session::ProductPosition(std::string_view name) { return ModelPosition(name); }

bool Session::ChooseProduct(int position) {
  UpgradeJob& job = TheJob();
  uint32_t platform = job.platform;
  if (!PlatformOfProductPosition(position, platform)) return false;
  job.platform = platform;
  const std::vector<std::string> names = SupportedModelNames();
  NoteProduct(names[static_cast<size_t>(position)]);
  return true;
}

std::optional<std::string> Session::ChooseProductAndFolder(std::string_view name) {
  if (!ChooseProduct(ProductPosition(name))) return std::nullopt;
  UpgradeJob& job = TheJob();
  ChooseProductFolder(job);
  if (!CheckImageSet(job)) {
    ShowAndLog(job, "please choose image folder!");
    return std::nullopt;
  }
  ShowAndLog(job, "ready to download");
  return job.image_path.Get();
}

void Session::SetImageFolder(const std::string& path) { TheJob().image_path.Set(path); }

void Session::TickRestoreDefault(bool ticked) { TheJob().restore_default = ticked ? 1 : 0; }

bool Session::RestoreDefaultAllowed() { return TheDevice().special_model != 1; }

bool Session::ModuleInDownloadMode() {
  const uint32_t mode = TheJob().target_state;
  return mode != TARGET_DIAG && mode != TARGET_UNSPECIFIED;
}

bool Session::FoundInDownloadMode() { return TheJob().download_mode == 1; }

void Session::ForgetAbortedDownload() {
  TheDevice().download_status = 0;
  TheDevice().connecting = 0;
}

std::string Session::WorkingDirectory() { return CurrentDirectory(); }

std::chrono::steady_clock::duration Session::FixedWaitTotal() { return vek::FixedWaitTotal(); }

void Session::DebugTrace(const std::string& text) { vek::DebugTrace("%s", text.c_str()); }

int Session::ProgressPercent(uint32_t done, int32_t total) { return vek::ProgressPercent(done, total); }

}  // namespace vek
