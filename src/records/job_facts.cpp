#include "records/job_facts.h"

#include <atomic>
#include <mutex>

namespace vek {
namespace {

std::mutex facts_mutex;
JobFacts facts;  // under facts_mutex
std::atomic<JobFactsObserver*> observer{nullptr};

// Changes the facts under the lock, then tells the observer a copy, outside it;
// nothing when `change` returns false (it changed nothing).
template <typename Change>
void Update(JobFactsChange what, Change change) {
  JobFacts copy;
  {
    std::lock_guard lock(facts_mutex);
    if (!change(facts)) return;
    copy = facts;
  }
  if (JobFactsObserver* told = observer.load()) told->JobFactsChanged(copy, what);
}

}  // namespace

const char* JobStepName(JobStep step) {
  switch (step) {
    case JobStep::kNone: return "none";
    case JobStep::kConnect: return "connect";
    case JobStep::kBackup: return "backup";
    case JobStep::kSwitch: return "switch";
    case JobStep::kProgrammer: return "programmer";
    case JobStep::kPartition: return "partition";
    case JobStep::kImage: return "image";
    case JobStep::kEraseEfs: return "erase_efs";
    case JobStep::kReset: return "reset";
    case JobStep::kRestore: return "restore";
    case JobStep::kIdentity: return "identity";
    case JobStep::kRestoreDefaults: return "restore_defaults";
    case JobStep::kNormalReset: return "normal_reset";
  }
  return "none";
}

void SetJobFactsObserver(JobFactsObserver* told) { observer.store(told); }

JobFacts JobFactsSnapshot() {
  std::lock_guard lock(facts_mutex);
  return facts;
}

void StartJobFacts() {
  Update(JobFactsChange::kStarted, [](JobFacts& f) {
    f = JobFacts{};
    f.started = std::chrono::system_clock::now();
    return true;
  });
}

void EnterStep(JobStep step, const std::string& image) {
  Update(JobFactsChange::kStep, [&](JobFacts& f) {
    f.step = step;
    f.image = image;
    return true;
  });
}

void FailStep(const std::string& reason, bool outside) {
  Update(JobFactsChange::kFailed, [&](JobFacts& f) {
    if (f.failed_step && !outside) return false;
    if (!f.failed_step) f.failed_step = f.step;
    f.failed_image = f.image;
    f.reason = reason;
    return true;
  });
}

void NoteNormalReset() {
  Update(JobFactsChange::kNormalReset, [](JobFacts& f) {
    f.normal_reset_sent = true;
    return true;
  });
}

void NoteNvBackup(NvBackupFacts backup) {
  Update(JobFactsChange::kNvBackup, [&](JobFacts& f) {
    f.nv_backup = std::move(backup);
    return true;
  });
}

void NoteNvRestore(std::optional<NvRestoreFacts> restore) {
  Update(JobFactsChange::kNvRestore, [&](JobFacts& f) {
    f.nv_restore = restore;
    return true;
  });
}

}  // namespace vek
