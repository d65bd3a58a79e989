// The download worker: one job after the operator pressed "start", on its own thread.
#pragma once

#include <cstdint>
#include <string>

#include "records/job_facts.h"
#include "records/job_records.h"
#include "records/window_notifications.h"
#include "upgrade/vault_search.h"

namespace vek {

// The job's end in its facts, as the engine knows it: the result, the text the
// operator was shown last for it, and 0 for a success, else 1 as exit status.
// A front end that knows more (vek-cli's exit status, a signal) tells it again.
void NoteEngineJobEnd(JobResult result, std::string text = {});

// --restore-from-vault: asked by the front end for every job, beside "[restore] vault=1".
void AskRestoreFromVault(bool asked);
// --nv-window: asked by the front end for every job, over "[nv] window"; empty: not asked.
void AskNvWindow(const std::string& asked);

// The thread's body. Returns 1 on success and 0 on failure.
// `vault`: where a module found in a download mode may find its kept NV backup.
int DownloadWorker(WindowNotifications& window, const VaultSearch* vault = nullptr);

// Loads the image set when the job downloads; 0 (with "open image file error!") when it cannot.
int OpenImageSet(UpgradeJob& job);

// Releases what a job holds: stage back to idle, the log closed, the port closed, the images freed.
void CloseJob();

// Writes the job's options to the log, one per line.
void LogJobOptions();

// A job's duration as the log shows it: whole minutes and the seconds left over.
struct JobTime {
  unsigned minutes;
  unsigned seconds;
};
JobTime JobTimeOf(uint64_t elapsed_ms);

// The final status text of a successful job that downloaded:
// "Ok! <min>′<sec>″, <result text>" with U+2032 and U+2033.
std::string SuccessText(unsigned minutes, unsigned seconds, const std::string& result);

}  // namespace vek
