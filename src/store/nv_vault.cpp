#include "store/nv_vault.h"

#include "store/line_db.h"
#include "store/nv_backup_proof.h"
#include "store/station_db.h"

namespace vek {
namespace {

// The station's newest backup of `module`; the station named is the one of the job that took it.
std::optional<VaultBackup> StationNewest(const std::string& path, const std::string& module, std::string& trouble) {
  std::string reason;
  std::unique_ptr<StationDb> db = StationDb::Open(path, StationDb::Mode::kRead, reason);
  if (!db) {
    trouble = "the station database: " + reason;
    return std::nullopt;
  }
  const std::string sql = std::string("SELECT coalesce(j.station, ''), l.taken_utc, l.sha256, b.bytes FROM ") +
                          db->backup_links() +
                          " l JOIN nv_backups b ON b.sha256 = l.sha256 LEFT JOIN jobs j ON j.id = l.job_id "
                          "WHERE l.module = ?1 ORDER BY l.taken_utc DESC, l.link_order DESC LIMIT 1";
  StationStatement query(*db, sql.c_str());
  query.Bind(1, module);
  if (!query.Step()) {
    if (query.Failed()) trouble = "the station database: " + db->Error();
    return std::nullopt;
  }
  return VaultBackup{query.Text(0), query.Text(1), query.Text(2), query.Blob(3)};
}

std::optional<VaultBackup> LineNewest(const std::string& conninfo, const std::string& module, std::string& trouble) {
  std::string reason;
  std::unique_ptr<LineDb> line = LineDb::Connect(conninfo, reason);
  std::optional<VaultBackup> found;
  if (!line || !line->NewestNvBackup(module, found, reason)) trouble = "the line database: " + reason;
  return found;
}

}  // namespace

std::optional<VaultBackup> NvVault::Newest(const std::string& module, std::string& trouble) const {
  std::optional<VaultBackup> station, line;
  if (!station_db_.empty()) station = StationNewest(station_db_, module, trouble);
  if (!line_db_.empty()) {
    std::string line_trouble;
    line = LineNewest(line_db_, module, line_trouble);
    if (!line_trouble.empty()) trouble = trouble.empty() ? line_trouble : trouble + "; " + line_trouble;
  }
  // A backup whose bytes no longer hash to its SHA-256 gives way to a sound one of
  // the other place. Without one it is still handed on: the restore refuses it, says
  // why and fails the job, which would otherwise end without the module's NV items.
  std::optional<VaultBackup> damaged;
  const auto check = [&](std::optional<VaultBackup>& found, const char* place) {
    if (!found) return;
    const std::string mismatch = NvBackupMismatch(found->sha256, found->bytes);
    if (mismatch.empty()) return;
    trouble += (trouble.empty() ? "" : "; ") + std::string(place) + mismatch;
    if (!damaged) damaged = std::move(found);
    found.reset();
  };
  check(station, "the station database: ");
  check(line, "the line database: ");
  // UTC texts of one format order as their times do; the station's own copy wins a tie.
  if (station && (!line || station->taken_utc >= line->taken_utc)) return station;
  return line ? line : damaged;
}

}  // namespace vek
