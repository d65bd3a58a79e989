// A job's row that the station's database would not take at the job's end
// (locked past the busy timeout, full, read-only for the moment) is kept beside
// the job, in a small database of its own in the job's folder, until the next
// job at the station, or a vek-report that can write, puts it in. So a row is
// left "running" only by a job that really died, and a succeeded job never
// reads "interrupted".
#pragma once

#include <string>
#include <vector>

#include "store/station_db.h"
#include "store/station_rows.h"

namespace vek {

// The folder, in a job's own, where its row waits.
inline constexpr char kPendingRecordsFolder[] = "record-pending";

// Keeps `row` in `folder`/record-pending/<id>.db; false and `reason` when it cannot.
bool KeepPendingRow(const std::string& folder, const StationJobRow& row, std::string& reason);

// Keeps the NV backup the database would not take (full, locked) beside its row,
// in the same file: it is stored with the time it was taken, and the row says
// "pending" until then.
bool KeepPendingBackup(const std::string& folder, const StationNvBackup& backup, std::string& reason);

// Once the row is in after all (a job's end told again): its kept copy goes,
// so that it never takes the row's place later.
void DropPendingRow(const std::string& folder, const std::string& id);

// Writes the rows and backups kept in each of `folders` into `db`, removing each
// file once all it held is in; one that cannot be written yet stays. A file that
// cannot be read is renamed "<id>.db.unreadable", never deleted, and named in
// `set_aside` (one line each, for the operator). The count written.
int SettlePendingRows(StationDb& db, const std::vector<std::string>& folders,
                      std::vector<std::string>* set_aside = nullptr);

// Where kept rows may wait: `own` (the current job's folder, when given) and the
// folders of the rows still "running" in `db` or whose backup is pending.
std::vector<std::string> PendingRowFolders(StationDb& db, const std::string& own = {});

}  // namespace vek
