// What pressing "start" does, the same in the window and in vek-cli.
#pragma once

#include "records/window_notifications.h"
#include "upgrade/vault_search.h"
#include "upgrade/worker_thread.h"

namespace vek {

// Counts the press (the second and later presses start a fresh "vek.log"),
// takes the product in a download mode, disables the job's controls and starts
// the download worker. False when nothing was started.
// `vault`: handed to the job (see DownloadWorker).
bool PressStart(WindowNotifications& window, WorkerThread& worker, const VaultSearch* vault = nullptr);

// How many times "start" has been pressed since start-up.
int StartCount();

}  // namespace vek
