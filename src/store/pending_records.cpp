#include "store/pending_records.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <set>

namespace vek {
namespace {

std::string PendingFolder(const std::string& folder) { return folder + "/" + kPendingRecordsFolder; }

// The kept rows' files in `folder`: plain files named "<id>.db", never a link.
std::vector<std::string> KeptFiles(const std::string& folder) {
  std::vector<std::string> files;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(PendingFolder(folder), error)) {
    if (entry.path().extension() != ".db") continue;
    struct stat status {};
    if (lstat(entry.path().c_str(), &status) == 0 && S_ISREG(status.st_mode)) files.push_back(entry.path());
  }
  return files;
}

std::string KeptFile(const std::string& folder, const std::string& id) {
  return PendingFolder(folder) + "/" + id + ".db";
}

bool Exists(const std::string& path) {
  struct stat status {};
  return lstat(path.c_str(), &status) == 0;
}

// Writes into the job's kept database; a file this call made goes again when the
// write fails (a half-made one would be read as a row), one that held more stays.
template <typename Write>
bool KeepInFile(const std::string& folder, const std::string& id, std::string& reason, Write write) {
  if (folder.empty() || id.empty()) {
    reason = "no folder to keep it in";
    return false;
  }
  const std::string path = KeptFile(folder, id);
  const bool made_here = !Exists(path);
  std::unique_ptr<StationDb> kept = StationDb::Open(path, StationDb::Mode::kWrite, reason);
  if (kept && write(*kept)) return true;
  kept.reset();
  std::error_code ignored;
  if (made_here) std::filesystem::remove(path, ignored);
  return false;
}

// A kept file that yields neither a row nor a backup (damaged, or never a
// database) may be the only copy of a job's row: it is never deleted, only
// renamed so that no settling reads it again, and named for the operator.
std::string SetAside(const std::string& file, const std::string& reason) {
  const std::string aside = file + ".unreadable";
  std::error_code error;
  std::filesystem::rename(file, aside, error);
  const std::string why = reason.empty() ? "it holds no row" : reason;
  if (error) return "kept record " + file + " cannot be read (" + why + ") nor moved aside: " + error.message();
  return "kept record " + file + " cannot be read (" + why + "): moved aside as " + aside;
}

}  // namespace

bool KeepPendingRow(const std::string& folder, const StationJobRow& row, std::string& reason) {
  return KeepInFile(folder, row.id, reason, [&](StationDb& kept) { return WriteJobRow(kept, row, reason); });
}

bool KeepPendingBackup(const std::string& folder, const StationNvBackup& backup, std::string& reason) {
  return KeepInFile(folder, backup.job_id, reason,
                    [&](StationDb& kept) { return WriteNvBackup(kept, backup, reason); });
}

void DropPendingRow(const std::string& folder, const std::string& id) {
  const std::string path = KeptFile(folder, id);
  if (!Exists(path)) return;
  {
    std::string reason, refused;
    std::unique_ptr<StationDb> kept = StationDb::Open(path, StationDb::Mode::kWrite, reason);
    // A backup kept beside the row still waits for the database (one that no
    // longer matches its SHA-256 is not deleted either).
    if (kept && (!JobNvBackups(*kept, id, &refused).empty() || !refused.empty())) {
      StationStatement(*kept, "DELETE FROM jobs WHERE id = ?1").Bind(1, id).Done();
      return;
    }
  }
  std::error_code ignored;
  std::filesystem::remove(path, ignored);
  std::filesystem::remove(PendingFolder(folder), ignored);  // only when empty
}

int SettlePendingRows(StationDb& db, const std::vector<std::string>& folders, std::vector<std::string>* set_aside) {
  int settled = 0;
  for (const std::string& folder : std::set<std::string>(folders.begin(), folders.end())) {
    for (const std::string& file : KeptFiles(folder)) {
      const std::string id = std::filesystem::path(file).stem();
      std::string reason, refused;
      std::optional<StationJobRow> row;
      std::vector<StationNvBackup> backups;
      if (std::unique_ptr<StationDb> kept = StationDb::Open(file, StationDb::Mode::kWrite, reason)) {
        row = ReadJobRow(*kept, id);
        backups = JobNvBackups(*kept, id, &refused);
      }
      // A kept backup that no longer matches its SHA-256 goes nowhere, and its file stays.
      if (!refused.empty()) continue;
      // Another settler holding the file (a job and vek-report at once) is waited for next time.
      if (!row && backups.empty() && reason.find("database is locked") == std::string::npos) {
        const std::string note = SetAside(file, reason);
        if (set_aside) set_aside->push_back(note);
        continue;
      }
      // The backup first, taken when it was taken: then the row may say it is stored.
      if (!std::all_of(backups.begin(), backups.end(),
                       [&](const StationNvBackup& backup) { return WriteNvBackup(db, backup, reason); }))
        continue;
      if (row && !backups.empty()) row->nv_backup = "stored";
      if (row ? !WriteJobRow(db, *row, reason)
              : !StationStatement(db, "UPDATE jobs SET nv_backup = 'stored' WHERE id = ?1 AND nv_backup = 'pending'")
                     .Bind(1, id)
                     .Done())
        continue;
      std::error_code ignored;
      std::filesystem::remove(file, ignored);
      ++settled;
    }
    std::error_code ignored;
    std::filesystem::remove(PendingFolder(folder), ignored);  // only when empty
  }
  return settled;
}

std::vector<std::string> PendingRowFolders(StationDb& db, const std::string& own) {
  std::vector<std::string> folders;
  if (!own.empty()) folders.push_back(own);
  StationStatement running(db,
                           "SELECT DISTINCT folder FROM jobs WHERE (result = 'running' OR nv_backup = 'pending') "
                           "AND folder IS NOT NULL");
  while (running.Step()) folders.push_back(running.Text(0));
  return folders;
}

}  // namespace vek
