#include "store/pending_records.h"

#include <sys/stat.h>

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

}  // namespace

bool KeepPendingRow(const std::string& folder, const StationJobRow& row, std::string& reason) {
  if (folder.empty() || row.id.empty()) {
    reason = "no folder to keep it in";
    return false;
  }
  const std::string path = PendingFolder(folder) + "/" + row.id + ".db";
  std::unique_ptr<StationDb> kept = StationDb::Open(path, StationDb::Mode::kWrite, reason);
  if (kept && WriteJobRow(*kept, row, reason)) return true;
  kept.reset();
  std::error_code ignored;
  std::filesystem::remove(path, ignored);  // a half-made one would be read as a row
  return false;
}

void DropPendingRow(const std::string& folder, const std::string& id) {
  std::error_code ignored;
  std::filesystem::remove(PendingFolder(folder) + "/" + id + ".db", ignored);
  std::filesystem::remove(PendingFolder(folder), ignored);  // only when empty
}

int SettlePendingRows(StationDb& db, const std::vector<std::string>& folders) {
  int settled = 0;
  for (const std::string& folder : std::set<std::string>(folders.begin(), folders.end())) {
    for (const std::string& file : KeptFiles(folder)) {
      const std::string id = std::filesystem::path(file).stem();
      std::string reason;
      std::optional<StationJobRow> row;
      if (std::unique_ptr<StationDb> kept = StationDb::Open(file, StationDb::Mode::kWrite, reason))
        row = ReadJobRow(*kept, id);
      if (!row || !WriteJobRow(db, *row, reason)) continue;
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
  StationStatement running(db, "SELECT DISTINCT folder FROM jobs WHERE result = 'running' AND folder IS NOT NULL");
  while (running.Step()) folders.push_back(running.Text(0));
  return folders;
}

}  // namespace vek
