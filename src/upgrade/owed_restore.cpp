#include "upgrade/owed_restore.h"

#include <string>

#include "images/platform_profile.h"
#include "nv/nv_backup.h"
#include "nv/nv_backup_file.h"
#include "upgrade/status_report.h"

namespace vek {
namespace {

constexpr const char* kRestoringEarlierText =
    "restoring the backup of %s: the last job on this module did not restore it";
constexpr const char* kNoteFailedText = "no restore note kept: %s";
constexpr const char* kPlaceFailedText = "can't put %s in place of backup.nvb!";

// The AT port's identity as the module gave it, without the blanks around it.
std::string AtIdentity() {
  const std::string text = TheDevice().imei.Get();
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

bool MeidPlatform(const UpgradeJob& job) {
  const PlatformProfile* profile = ProfileOf(job.platform.load());
  return profile != nullptr && profile->backup_copy_name == BackupCopyName::kMeid;
}

}  // namespace

OwedRestore NoteOwedRestore(UpgradeJob& job) {
  const ModuleIdentity identity{AtIdentity(), BackupIdentity(kBackupFileName, MeidPlatform(job))};
  OwedRestore owed;
  if ((owed.note = FindPendingRestore(identity))) {
    owed.from_earlier_job = true;
    return owed;
  }
  std::string error;
  owed.note = NotePendingRestore(identity, &error);
  if (!owed.note) job.write_log(kNoteFailedText, error.c_str());
  return owed;
}

OwedRestore FindOwedRestore() {
  OwedRestore owed;
  owed.note = FindPendingRestore(ModuleIdentity{AtIdentity(), {}});
  owed.from_earlier_job = owed.note.has_value();
  return owed;
}

bool ModuleNamed() { return !AtIdentity().empty(); }

bool PrepareOwedRestore(UpgradeJob& job, const OwedRestore& owed) {
  if (!owed.from_earlier_job || !owed.note) return true;
  job.show_status(kRestoringEarlierText, owed.note->taken_utc.c_str());
  job.write_log(kRestoringEarlierText, owed.note->taken_utc.c_str());
  if (PutBackupInPlace(job, owed.note->backup_path)) return true;
  job.show_status(kPlaceFailedText, owed.note->backup_path.c_str());
  job.write_log(kPlaceFailedText, owed.note->backup_path.c_str());
  return false;
}

void SettleOwedRestore(const OwedRestore& owed) {
  if (owed.note) ClearPendingRestore(*owed.note);
}

}  // namespace vek
