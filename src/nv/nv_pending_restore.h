// A restore that a job owed a module and did not make. From the moment a job's
// backup is whole until its restore succeeds, the working folder keeps a copy
// of that backup and a note of whose it is in "nv-pending/":
//   nv-pending/<identity>.nvb   the backup as the job took it
//   nv-pending/<identity>.note  "taken_utc=", "at_identity=", "nv_identity=", "bytes="
// A job that dies, fails or is stopped after its backup (the download may have
// reset the module's items) thus leaves the module's own items where the next
// job on that module finds them, even after that job's own backup has replaced
// "backup.nvb". The note is removed only once a restore of it succeeded.
#pragma once

#include <optional>
#include <string>

namespace vek {

inline constexpr const char* kNvPendingFolder = "nv-pending";

// Who a module is: the IMEI or MEID its AT port gave, and the one its own NV
// item (550, or 1943 on a MEID platform) holds. Either may be empty.
struct ModuleIdentity {
  std::string at;
  std::string nv;
  bool Known() const { return !at.empty() || !nv.empty(); }
  // Both name the same module: an identity they both know is equal.
  bool Matches(const ModuleIdentity& other) const;
};

struct PendingRestore {
  ModuleIdentity identity;
  std::string taken_utc;    // when the backup was taken, "2026-12-08T16:07:16Z"
  std::string backup_path;  // "nv-pending/<identity>.nvb"
  std::string note_path;    // "nv-pending/<identity>.note"
};

// The identity item's text in a backup file: item 550's IMEI, or item 1943's
// MEID when `meid`. Empty when the file has no such record.
std::string BackupIdentity(const std::string& backup_path, bool meid);

// Notes that "backup.nvb" (just taken from the module `identity`) is owed a
// restore. A note already there for that module is kept as it is: it holds the
// older, original items. Nothing when the module's identity is unknown.
// Returns the note in force for the module, or nothing when none could be written.
std::optional<PendingRestore> NotePendingRestore(const ModuleIdentity& identity, std::string* error);

// The note for this module, if the folder holds one whose copy is whole.
std::optional<PendingRestore> FindPendingRestore(const ModuleIdentity& identity);

// The restore was made: the note and its copy go.
void ClearPendingRestore(const PendingRestore& pending);

}  // namespace vek
