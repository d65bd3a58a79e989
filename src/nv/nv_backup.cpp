#include "nv/nv_backup.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "images/image_fingerprint.h"
#include "images/image_loader.h"
#include "images/platform_profile.h"
#include "link/hdlc_frame.h"
#include "nv/nv_backup_file.h"
#include "nv/nv_exchange.h"
#include "nv/nv_history.h"
#include "nv/nv_identity.h"
#include "nv/nv_item_table.h"
#include "nv/nv_window.h"
#include "records/job_facts.h"
#include "records/reporting.h"

namespace vek {
namespace {

constexpr const char* kBackupStartText = "backup nvb...";
constexpr const char* kBackupCreateFailedText = "can't open backup.nvb!";
constexpr const char* kBackupWriteFailedText = "can't write backup.nvb!";
constexpr const char* kPlainTimeoutText = "1. save backup.nvb failed!";
constexpr const char* kArrayTimeoutText = "2. save backup.nvb failed!";
constexpr const char* kItemIgnoredText = "save NV:%d (ignored)";
constexpr const char* kBackupFinishedText = "backup finished!";
constexpr const char* kWindowSettledText = "NV window: settled at %d requests in flight (%d sent again)";
constexpr const char* kUnreadText = "backup NVB: %d %s could not be read: %s";
// The status line holds 300 bytes: past these many ids the list ends in "...".
constexpr size_t kUnreadIdsShown = 40;

constexpr const char* kRestoreStartText = "restore backup.nvb...";
constexpr const char* kRestoreOpenFailedText = "can't open backup.nvb!!!";
constexpr const char* kRestoreFailedText = "restore backup.nvb failed!";
constexpr const char* kRecordIgnoredText = "restore NV:%d (ignored)";
constexpr const char* kPartialRecordText = "restore NV: last record holds %d of 131 bytes (skipped)";
constexpr const char* kRecordsRefusedText = "restore NVB: %d of %d records refused";
constexpr const char* kNoRecordsText = "restore NVB: backup.nvb holds no records";
constexpr const char* kRestoreDoneText = "restore backup.nvb successful!";
constexpr const char* kImeiDoneText = "restore finished! IMEI : %s\r\n";
constexpr const char* kMeidDoneText = "restore finished! MEID : %s\r\n";
constexpr const char* kCopyFailedText = "can't rename the nvb file!";

constexpr const char* kKeptText = "earlier %s kept as %s";
constexpr const char* kDroppedText = "%s removed: only the %d newest earlier %s are kept";
constexpr const char* kNotReplacedText = "%s not replaced, %s";

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

// The new file takes the place of the final one; the earlier file goes to
// nv-history/ first, and the log says where. Refuses (the earlier file stays)
// when it cannot be kept.
BackupFileWriter::Replace KeepingEarlier(UpgradeJob& job) {
  return [&job](const std::string& partial_path, const std::string& final_path) {
    const NvHistoryResult result = ReplaceKeepingEarlier(partial_path, final_path, std::time(nullptr));
    const std::string name = final_path.substr(final_path.rfind('/') + 1);
    if (!result.placed) {
      job.write_log(kNotReplacedText, name.c_str(), result.error.c_str());
      return false;
    }
    if (!result.kept_as.empty()) job.write_log(kKeptText, name.c_str(), result.kept_as.c_str());
    for (const std::string& dropped : result.dropped)
      job.write_log(kDroppedText, dropped.c_str(), static_cast<int>(kNvHistoryKept), name.c_str());
    return true;
  };
}

// Copies backup file `from` to `to` as a backup is written: whole and synced
// before it takes the name, an earlier file of that name kept in nv-history/.
bool CopyBackup(UpgradeJob& job, const std::string& from, const std::string& to) {
  return CopyBackupFile(from, to, KeepingEarlier(job));
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

  if (!CopyBackup(job, kBackupFileName, name)) {
    job.write_log("%s", kCopyFailedText);
    job.show_status("%s", kCopyFailedText);
  }
}

// "3027, 4000, ..." for the status line and "vek.log".
std::string IdList(const std::vector<int>& ids) {
  std::string text;
  for (size_t i = 0; i < ids.size(); ++i) {
    if (i == kUnreadIdsShown) return text + ", ...";
    if (i > 0) text += ", ";
    text += std::to_string(ids[i]);
  }
  return text;
}

// Items that could not be read are named once the backup is whole: a download
// that resets the module's NV items loses them.
void ReportUnread(UpgradeJob& job, const std::vector<int>& unread) {
  if (unread.empty()) return;
  const int count = static_cast<int>(unread.size());
  const char* noun = count == 1 ? "item" : "items";
  const std::string ids = IdList(unread);
  job.show_status(kUnreadText, count, noun, ids.c_str());
  job.write_log(kUnreadText, count, noun, ids.c_str());
}

struct WriteBack {
  bool timed_out = false;
  int records = 0;  // whole records sent
  int refused = 0;  // of them, not written (refused or answered otherwise)
};

// Sends every whole record of the open file, up to a write that timed out.
WriteBack WriteRecordsBack(UpgradeJob& job, BackupFileReader& file) {
  WriteBack done;
  const int64_t length = file.length();
  int64_t sent = 0;
  for (;;) {
    std::memset(TxPacket.data, 0, kNvRequestLength);
    const int got = file.Next(TxPacket.data);
    if (got <= 0) return done;
    if (got < kNvRecordLength) {
      // A cut-off record would put zeros into the module's item: leave it out.
      job.write_log(kPartialRecordText, got);
      return done;
    }
    sent += got;
    ++done.records;
    const uint16_t item = static_cast<uint16_t>(TxPacket.data[1] | (TxPacket.data[2] << 8));
    const NvResult result = NvWriteItem(item);
    if (result == NV_DONE) {
      ShowByteProgress(job, sent, length);
    } else if (result == NV_TIMEOUT) {
      job.show_status("%s", kRestoreFailedText);
      done.timed_out = true;
      return done;
    } else {
      ++done.refused;
      job.write_log(kRecordIgnoredText, item);
    }
  }
}

// The same with several writes in flight; the module takes each record once,
// or twice with the same data when its answer was lost and it is sent again.
WriteBack WriteRecordsBackWindowed(UpgradeJob& job, BackupFileReader& file, NvWindowChoice choice, int& settled) {
  WriteBack done;
  const int64_t length = file.length();
  int64_t written = 0;
  bool file_ended = false;
  NvWindowRun run(choice);
  const NvResult result = run.Run(
      [&](NvRequest& request) {
        if (file_ended) return false;
        const int got = file.Next(request.packet);
        if (got <= 0 || got < kNvRecordLength) {
          // A cut-off record would put zeros into the module's item: leave it out.
          if (got > 0) job.write_log(kPartialRecordText, got);
          file_ended = true;
          return false;
        }
        ++done.records;
        request.packet[0] = kNvWriteCommand;
        request.packet[131] = request.packet[132] = 0;
        request.array_element = NvIsArrayItem(static_cast<uint16_t>(request.packet[1] | (request.packet[2] << 8)));
        return true;
      },
      [&](const NvRequest& request, NvAnswer answer, const uint8_t*) {
        const int item = request.packet[1] | (request.packet[2] << 8);
        written += kNvRecordLength;
        if (answer == NvAnswer::kAnswered) return ShowByteProgress(job, written, length);
        if (answer == NvAnswer::kFailed) job.show_status(kNvWriteFailedText, item);
        ++done.refused;
        job.write_log(kRecordIgnoredText, item);
      });
  if (choice.automatic) job.write_log(kWindowSettledText, run.window(), run.resent());
  settled = run.window();
  if (result == NV_TIMEOUT) {
    job.show_status("%s", kRestoreFailedText);
    done.timed_out = true;
  }
  return done;
}

// The backup as it now lies on disk: read back whole, so its digest is that of
// the file a restore (or the station's record) will take.
NvBackupFacts BackupFacts(int records, std::vector<int> unread) {
  NvBackupFacts facts{records, std::move(unread), CurrentDirectory() + "/" + kBackupFileName, {}};
  WholeFile written = ReadWholeFile(kBackupFileName);
  if (written.failure == ReadFailure::kNone) {
    facts.sha256 = HexOf(written.sha256);
    facts.bytes = std::make_shared<const std::vector<uint8_t>>(std::move(written.bytes));
  }
  return facts;
}

// The window a job's NV requests go in.
NvWindowChoice WindowOf(const UpgradeJob& job) {
  const int32_t size = job.nv_window.load();
  return size == 0 ? NvWindowChoice{1, true} : NvWindowChoice{std::clamp<int>(size, 1, kNvWindowMost), false};
}

// One item read after the other: each request waits for its answer. Nothing,
// or the line that says why the backup ended early.
const char* ReadItems(UpgradeJob& job, std::vector<int>& unread) {
  uint8_t data[kNvItemDataLength];
  for (int id = 0; id < kNvItemCount; ++id) {
    std::memset(data, 0, sizeof data);
    const NvItemEntry& entry = NvItemTable[id];
    if (!entry.enabled) continue;
    const uint16_t item = static_cast<uint16_t>(id);
    NvResult result = NV_DONE;
    if (entry.count == 0) {
      result = NvReadItem(item, data, 0, 0, true);
      if (result == NV_TIMEOUT) return kPlainTimeoutText;
      if (result == NV_REFUSED) continue;
      if (result == NV_FAILED) unread.push_back(id);
    } else {
      // Indices 0 … count: a module ends an array by refusing the index past it.
      bool element_unread = false;
      for (int index = 0; index <= entry.count; ++index) {
        result = NvReadItem(item, data, index, entry.count, true);
        if (result == NV_TIMEOUT) return kArrayTimeoutText;
        if (result == NV_REFUSED) break;
        element_unread = element_unread || result == NV_FAILED;
      }
      if (element_unread) unread.push_back(id);
    }
    if (result == NV_DONE) {
      job.show_progress(static_cast<uint32_t>(id + 1), kNvItemCount);
    } else {
      job.write_log(kItemIgnoredText, id);
    }
  }
  return nullptr;
}

// The items read with several requests in flight; the file and the log get
// them in the table's order, as one at a time would give them. An array's
// elements are all asked at once: those after the one the module refused (its
// end) are left out, as if never asked.
const char* ReadItemsWindowed(UpgradeJob& job, NvWindowChoice choice, BackupFileWriter& file, std::vector<int>& unread,
                              int& settled) {
  NvWindowRun run(choice);
  int id = -1, index = 0;  // the next request's item and element
  int ended = -1;          // the array whose end (a refusal) has been answered
  int answered_id = -1;    // the item whose answers are being taken
  bool element_unread = false, item_ended = false;
  NvAnswer last = NvAnswer::kAnswered;
  auto next_item = [&] {
    do ++id;
    while (id < kNvItemCount && !NvItemTable[id].enabled);
    index = 0;
  };
  auto item_done = [&](int item, NvAnswer answer, bool array) {
    if (array && element_unread) unread.push_back(item);
    if (answer == NvAnswer::kAnswered) job.show_progress(static_cast<uint32_t>(item + 1), kNvItemCount);
    else job.write_log(kItemIgnoredText, item);
  };
  next_item();
  const NvResult result = run.Run(
      [&](NvRequest& request) {
        if (id < kNvItemCount && NvItemTable[id].count > 0 && (index > NvItemTable[id].count || ended == id)) next_item();
        if (id >= kNvItemCount) return false;
        const NvItemEntry& entry = NvItemTable[id];
        request.packet[0] = kNvReadCommand;
        request.packet[1] = static_cast<uint8_t>(id & 0xFF);
        request.packet[2] = static_cast<uint8_t>(id >> 8);
        request.array_element = entry.count > 0;
        if (entry.count == 0) {
          next_item();
        } else {
          request.packet[3] = static_cast<uint8_t>(index & 0xFF);
          ++index;
        }
        return true;
      },
      [&](const NvRequest& request, NvAnswer answer, const uint8_t* reply) {
        const int item = request.packet[1] | (request.packet[2] << 8);
        const NvItemEntry& entry = NvItemTable[item];
        if (item != answered_id) {
          answered_id = item;
          element_unread = item_ended = false;
        }
        if (item_ended) return;  // past the array's end
        if (answer == NvAnswer::kAnswered && (reply[131] | reply[132]) == 0) file.Append(reply);
        if (answer == NvAnswer::kFailed) job.show_status(kNvReadFailedText, item);
        if (entry.count == 0) {
          if (answer == NvAnswer::kFailed) unread.push_back(item);
          if (answer != NvAnswer::kRefused) item_done(item, answer, false);
          return;
        }
        element_unread = element_unread || answer == NvAnswer::kFailed;
        last = answer;
        if (answer == NvAnswer::kRefused) ended = item;
        if (answer == NvAnswer::kRefused || request.packet[3] == (entry.count & 0xFF)) {
          item_ended = true;
          item_done(item, last, true);
        }
      });
  if (choice.automatic) job.write_log(kWindowSettledText, run.window(), run.resent());
  settled = run.window();
  if (result != NV_TIMEOUT) return nullptr;
  return run.timed_out().array_element ? kArrayTimeoutText : kPlainTimeoutText;
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

  std::vector<int> unread;  // items (or elements of them) whose reply never came back right
  const NvWindowChoice window = WindowOf(job);
  int settled = 0;
  if (const char* ended = window.automatic || window.size > 1 ? ReadItemsWindowed(job, window, file, unread, settled)
                                                                : ReadItems(job, unread))
    return EndBackupEarly(job, file, ended);

  if (!file.Commit(KeepingEarlier(job))) {
    ReportFailure(job, kBackupWriteFailedText, "Error");
    return kNvCannotOpen;
  }
  job.show_status("%s", kBackupFinishedText);
  job.write_log("%s", kBackupFinishedText);
  ReportUnread(job, unread);
  NvBackupFacts facts = BackupFacts(static_cast<int>(file.records()), std::move(unread));
  facts.window = settled;
  NoteNvBackup(facts);
  return kNvCompleted;
}

bool PutBackupInPlace(UpgradeJob& job, const std::string& source) {
  return CopyBackup(job, source, kBackupFileName);
}

bool PutBackupBytesInPlace(UpgradeJob& job, const std::vector<uint8_t>& bytes) {
  BackupFileWriter writer(kBackupFileName);
  if (!writer.Create()) return false;
  writer.AppendBytes(bytes.data(), bytes.size());
  return writer.Commit(KeepingEarlier(job));
}

int RestoreNv(UpgradeJob& job) {
  NoteNvRestore(std::nullopt);
  job.show_status("%s", kRestoreStartText);
  {
    BackupFileReader file;
    if (!file.Open(kBackupFileName)) {
      ReportFailure(job, kRestoreOpenFailedText, "error!");
      return kNvCannotOpen;
    }
    const NvWindowChoice window = WindowOf(job);
    int settled = 0;
    const WriteBack done = window.automatic || window.size > 1 ? WriteRecordsBackWindowed(job, file, window, settled)
                                                                : WriteRecordsBack(job, file);
    if (done.timed_out) return kNvEndedEarly;
    NoteNvRestore(NvRestoreFacts{done.records, done.refused, settled});
    // A restore that wrote nothing back failed: the module holds none of its own
    // items. The caller shows and logs "restore backup.nvb failed!" once.
    if (done.records == 0) {
      job.show_status("%s", kNoRecordsText);
      job.write_log("%s", kNoRecordsText);
      return kNvNothingWritten;
    }
    if (done.refused > 0) {
      job.show_status(kRecordsRefusedText, done.refused, done.records);
      job.write_log(kRecordsRefusedText, done.refused, done.records);
    }
    if (done.refused == done.records) return kNvNothingWritten;
  }
  job.show_status("%s", kRestoreDoneText);
  CopyAfterIdentity(job);
  return kNvCompleted;
}

}  // namespace vek
