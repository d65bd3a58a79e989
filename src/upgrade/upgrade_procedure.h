// The whole upgrade as the operator chose it: reach the module, back up its NV
// items, download, restore, restore the AT defaults, report the versions, reset.
#pragma once

#include <string>

#include "records/job_records.h"
#include "records/shared_text.h"
#include "records/target_mode.h"
#include "upgrade/vault_search.h"

namespace vek {

// Returns 1 when the job ran to its end, 0 when a step ended it.
int RunUpgrade(UpgradeJob& job, const VaultSearch* vault = nullptr);

// Reopens the diagnostic port and probes until a program answers (30 tries). After
// a reset, `leaving` names the program the module restarts from: its answers count
// as no answer for a few tries, until the module has had time to restart.
void WaitForTarget(TargetMode leaving = TARGET_UNSPECIFIED);

// True for a job that only sends "AT&F1".
bool IsRestoreDefaultOnly(const UpgradeJob& job);

// The version report of the last job that made one ("update version %s to version %s").
SharedText<260>& JobResultText();

}  // namespace vek
