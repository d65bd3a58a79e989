#include "nv/nv_backup.h"

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "images/platform_profile.h"
#include "link/hdlc_frame.h"
#include "nv/nv_backup_file.h"
#include "nv/nv_exchange.h"
#include "nv/nv_identity.h"
#include "nv/nv_item_table.h"
#include "upgrade/reporting.h"

namespace vek {
namespace {

constexpr const char* kBackupStartText = "backup nvb...";
constexpr const char* kBackupCreateFailedText = "can't open backup.nvb!";
constexpr const char* kBackupWriteFailedText = "can't write backup.nvb!";
constexpr const char* kPlainTimeoutText = "1. save backup.nvb failed!";
constexpr const char* kArrayTimeoutText = "2. save backup.nvb failed!";
constexpr const char* kItemIgnoredText = "save NV:%d (ignored)";
constexpr const char* kBackupFinishedText = "backup finished!";

constexpr const char* kRestoreStartText = "restore backup.nvb...";
constexpr const char* kRestoreOpenFailedText = "can't open backup.nvb!!!";
constexpr const char* kRestoreFailedText = "restore backup.nvb failed!";
constexpr const char* kRecordIgnoredText = "restore NV:%d (ignored)";
constexpr const char* kPartialRecordText = "restore NV: last record holds %d of 131 bytes (skipped)";
constexpr const char* kRestoreDoneText = "restore backup.nvb successful!";
constexpr const char* kImeiDoneText = "restore finished! IMEI : %s\r\n";
constexpr const char* kMeidDoneText = "restore finished! MEID : %s\r\n";
constexpr const char* kCopyFailedText = "can't rename the nvb file!";

void ReportFailure(UpgradeJob& job, const char* text, const char* caption) {
  job.show_status("%s", text);
  job.write_log("%s", text);
  job.show_message(kMessageOk, text, caption);
}

// A backup that did not reach its end leaves no partial file, and the previous
// backup stays as it was (after a time-out too): it may be the only copy of
// this module's NV items, and nothing in it was replaced.
int EndBackupEarly(UpgradeJob& job, BackupFileWriter& file, const char* text) {
  job.show_status("%s", text);
  file.Abandon();
  return kNvEndedEarly;
}

// show_progress takes a 32-bit total: larger files are reported in coarser steps.
void ShowByteProgress(UpgradeJob& job, int64_t done, int64_t total) {
  while (total > INT32_MAX) {
    done >>= 1;
    total >>= 1;
  }
  job.show_progress(static_cast<uint32_t>(done), static_cast<int32_t>(total));
}

// Names a copy of the backup after the module's identity.
void CopyAfterIdentity(UpgradeJob& job) {
  const PlatformProfile* profile = ProfileOf(job.platform.load());
  const bool meid = profile != nullptr && profile->backup_copy_name == BackupCopyName::kMeid;
  uint8_t no_data[kNvItemDataLength] = {};
  const NvResult result = NvReadItem(meid ? kMeidItem : kImeiItem, no_data, 0, 0, false);
  // Only an intact, successful read reply names the copy.
  const bool read = result == NV_DONE && RxFrame.data[0] == kNvReadCommand && RxFrame.data[131] == 0 &&
                    RxFrame.data[132] == 0;
  std::string text;
  if (read) text = meid ? MeidText(RxFrame.data + 3) : ImeiText(RxFrame.data + 3);
  job.show_status(meid ? kMeidDoneText : kImeiDoneText, text.c_str());
  const std::string name = IdentityCopyName(text);
  if (meid) job.write_log("%s", (text + ".nvb").c_str());
  if (name.empty()) return;

  std::error_code error;
  std::filesystem::remove(name, error);
  error.clear();
  std::filesystem::copy_file(kBackupFileName, name, error);
  if (error) {
    job.write_log("%s", kCopyFailedText);
    job.show_status("%s", kCopyFailedText);
  }
}

// Sends every whole record of the open file; false when a write timed out.
bool WriteRecordsBack(UpgradeJob& job, BackupFileReader& file) {
  const int64_t length = file.length();
  int64_t sent = 0;
  for (;;) {
    std::memset(TxPacket.data, 0, kNvRequestLength);
    const int got = file.Next(TxPacket.data);
    if (got <= 0) return true;
    if (got < kNvRecordLength) {
      // A cut-off record would put zeros into the module's item: leave it out.
      job.write_log(kPartialRecordText, got);
      return true;
    }
    sent += got;
    const uint16_t item = static_cast<uint16_t>(TxPacket.data[1] | (TxPacket.data[2] << 8));
    const NvResult result = NvWriteItem(item);
    if (result == NV_DONE) {
      ShowByteProgress(job, sent, length);
    } else if (result == NV_TIMEOUT) {
      job.show_status("%s", kRestoreFailedText);
      return false;
    } else {
      job.write_log(kRecordIgnoredText, item);
    }
  }
}

}  // namespace

int BackupNv(UpgradeJob& job) {
  job.show_status("%s", kBackupStartText);
  BackupFileWriter file(kBackupFileName);
  if (!file.Create()) {
    ReportFailure(job, kBackupCreateFailedText, "Error");
    return kNvCannotOpen;
  }
  job.show_progress(0, 100);

  struct SavingInto {
    explicit SavingInto(BackupFileWriter& f) { SetOpenBackupFile(&f); }
    ~SavingInto() { SetOpenBackupFile(nullptr); }
  } saving(file);

  uint8_t data[kNvItemDataLength];
  for (int id = 0; id < kNvItemCount; ++id) {
    std::memset(data, 0, sizeof data);
    const NvItemEntry& entry = NvItemTable[id];
    if (!entry.enabled) continue;
    const uint16_t item = static_cast<uint16_t>(id);
    NvResult result = NV_DONE;
    if (entry.count == 0) {
      result = NvReadItem(item, data, 0, 0, true);
      if (result == NV_TIMEOUT) return EndBackupEarly(job, file, kPlainTimeoutText);
      if (result == NV_REFUSED) continue;
    } else {
      // Indices 0 … count: a module ends an array by refusing the index past it.
      for (int index = 0; index <= entry.count; ++index) {
        result = NvReadItem(item, data, index, entry.count, true);
        if (result == NV_TIMEOUT) return EndBackupEarly(job, file, kArrayTimeoutText);
        if (result == NV_REFUSED) break;
      }
    }
    if (result == NV_DONE) {
      job.show_progress(static_cast<uint32_t>(id + 1), kNvItemCount);
    } else {
      job.write_log(kItemIgnoredText, id);
    }
  }

  if (!file.Commit()) {
    ReportFailure(job, kBackupWriteFailedText, "Error");
    return kNvCannotOpen;
  }
  job.show_status("%s", kBackupFinishedText);
  job.write_log("%s", kBackupFinishedText);
  return kNvCompleted;
}

int RestoreNv(UpgradeJob& job) {
  job.show_status("%s", kRestoreStartText);
  {
    BackupFileReader file;
    if (!file.Open(kBackupFileName)) {
      ReportFailure(job, kRestoreOpenFailedText, "error!");
      return kNvCannotOpen;
    }
    if (!WriteRecordsBack(job, file)) return kNvEndedEarly;
  }
  job.show_status("%s", kRestoreDoneText);
  CopyAfterIdentity(job);
  return kNvCompleted;
}

}  // namespace vek
