#include "upgrade/vault_restore.h"

#include <string>

#include "images/image_fingerprint.h"
#include "nv/nv_backup.h"
#include "records/job_facts.h"
#include "upgrade/status_report.h"

namespace vek {
namespace {

constexpr const char* kFoundText = "NV backup of IMEI %s from %s, %s";
constexpr const char* kNoneText = "no NV backup of IMEI %s kept";
constexpr const char* kAskFailedText = "NV backups not searched in %s";
constexpr const char* kDamagedText = "NV backup of IMEI %s from %s does not match its SHA-256: not restored";
constexpr const char* kRestoreFailedText = "restore backup.nvb failed!";
constexpr const char* kPlaceFailedText = "can't put the NV backup of IMEI %s in place of backup.nvb!";

bool Intact(const VaultBackup& backup) {
  Sha256Hasher hasher;
  hasher.Update(backup.bytes);
  const std::string sha256 = HexOf(hasher.Finish());
  return hasher.ok() && sha256 == backup.sha256;
}

void Tell(UpgradeJob& job, const char* format, const char* a, const char* b = "", const char* c = "") {
  job.show_status(format, a, b, c);
  job.write_log(format, a, b, c);
}

}  // namespace

VaultBackupPlaced PlaceVaultBackup(UpgradeJob& job, const VaultSearch* vault) {
  const JobModule module = JobFactsSnapshot().module;
  const std::string identity = !module.imei.empty() ? module.imei : module.meid;
  if (identity.empty()) {
    Tell(job, kNoneText, "(not named)");
    return VaultBackupPlaced::kNone;
  }
  std::string trouble;
  const std::optional<VaultBackup> backup = vault != nullptr ? vault->Newest(identity, trouble) : std::nullopt;
  // Where it could not look is logged: the operator is told what was found.
  if (!trouble.empty()) job.write_log(kAskFailedText, trouble.c_str());
  if (!backup) {
    Tell(job, kNoneText, identity.c_str());
    return VaultBackupPlaced::kNone;
  }
  const std::string station = backup->station.empty() ? "an unnamed station" : backup->station;
  EnterStep(JobStep::kRestore);
  if (!Intact(*backup)) {
    Tell(job, kDamagedText, identity.c_str(), station.c_str());
    Fail(job, kRestoreFailedText);
    return VaultBackupPlaced::kFailed;
  }
  Tell(job, kFoundText, identity.c_str(), station.c_str(), backup->taken_utc.c_str());
  if (PutBackupBytesInPlace(job, backup->bytes)) return VaultBackupPlaced::kPlaced;
  Tell(job, kPlaceFailedText, identity.c_str());
  Fail(job, kRestoreFailedText);
  return VaultBackupPlaced::kFailed;
}

}  // namespace vek
