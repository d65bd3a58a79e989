#include "records/job_facts.h"

#include <atomic>
#include <mutex>
#include <optional>

namespace vek {
namespace {

std::mutex facts_mutex;
JobFacts facts;  // under facts_mutex
// The module as the search finds it after a job has ended (the module restarting,
// or another plugged in): the next job's. The ended job's facts keep the module it
// worked on, since its end may be told again (the engine's, then the front end's)
// and its record written from them.
std::optional<JobModule> next_module;  // under facts_mutex
std::atomic<JobFactsObserver*> observer{nullptr};
// Held while the recorder is told, so that once it is unset no call is still in it
// (the front end ends the recorder's thread right after).
std::mutex recorder_mutex;
JobFactsObserver* recorder = nullptr;  // under recorder_mutex

bool JobEnded(const JobFacts& f) {
  return f.started != std::chrono::system_clock::time_point{} && f.end.result != JobResult::kRunning;
}

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
  {
    std::lock_guard lock(recorder_mutex);
    if (recorder != nullptr) recorder->JobFactsChanged(copy, what);
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

double JobFacts::DurationSeconds() const {
  if (started == std::chrono::system_clock::time_point{}) return 0;
  const auto until = ended == std::chrono::system_clock::time_point{} ? std::chrono::system_clock::now() : ended;
  return std::chrono::duration<double>(until - started).count();
}

void SetJobFactsObserver(JobFactsObserver* told) { observer.store(told); }

void SetJobFactsRecorder(JobFactsObserver* keeper) {
  std::lock_guard lock(recorder_mutex);
  recorder = keeper;
}

JobFacts JobFactsSnapshot() {
  std::lock_guard lock(facts_mutex);
  return facts;
}

void StartJobFacts() {
  Update(JobFactsChange::kStarted, [](JobFacts& f) {
    JobFacts fresh;
    fresh.module = next_module ? std::move(*next_module) : std::move(f.module);
    next_module.reset();
    fresh.stage = f.stage;
    f = std::move(fresh);
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

namespace {

// The module's texts as it replied them, without the blanks around them (" 3569...").
std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// Changes the module: the job's own until it has ended, then the next job's. Only
// a change to the job's own is told (returns false otherwise, or when `change` changed nothing).
template <typename Change>
void UpdateModule(Change change) {
  Update(JobFactsChange::kModule, [&](JobFacts& f) {
    if (!JobEnded(f)) return change(f.module, f);
    if (!next_module) next_module = f.module;
    change(*next_module, f);
    return false;
  });
}

// Sets one of the module's texts, telling the observer only when it changed;
// an empty text tells nothing new.
void NoteModuleText(std::string JobModule::*field, const std::string& text) {
  const std::string value = Trimmed(text);
  if (value.empty()) return;
  UpdateModule([&](JobModule& module, const JobFacts&) {
    std::string& text = module.*field;
    if (text == value) return false;
    text = value;
    return true;
  });
}

}  // namespace

void ForgetModule() {
  UpdateModule([](JobModule& module, const JobFacts&) {
    module = {};
    return true;
  });
}

void NotePort(const std::string& port, const std::string& usb_path) {
  UpdateModule([&](JobModule& module, const JobFacts&) {
    if (module.port == port && (usb_path.empty() || module.usb_path == usb_path)) return false;
    module.port = port;
    if (!usb_path.empty()) module.usb_path = usb_path;
    return true;
  });
}

void NoteIdentity(IdentityKind kind, const std::string& text) {
  const std::string value = Trimmed(text);
  if (value.empty() || kind == IdentityKind::kUnknown) return;
  UpdateModule([&](JobModule& module, const JobFacts&) {
    std::string& known = kind == IdentityKind::kImei ? module.imei : module.meid;
    if (known == value && module.identity == kind) return false;
    known = value;
    module.identity = kind;
    return true;
  });
}

void NoteProduct(const std::string& name) { NoteModuleText(&JobModule::product, name); }

void NoteVersion(bool after_download, const std::string& text) {
  if (after_download) {
    NoteModuleText(&JobModule::version_after, text);
    return;
  }
  const std::string version = Trimmed(text);
  if (version.empty()) return;
  UpdateModule([&](JobModule& module, const JobFacts& f) {
    const bool job_runs = f.started != std::chrono::system_clock::time_point{} && f.end.result == JobResult::kRunning;
    if (module.version_before == version || (job_runs && !module.version_before.empty())) return false;
    module.version_before = version;
    return true;
  });
}

void NoteImageSet(ImageSetFacts image_set) {
  Update(JobFactsChange::kImageSet, [&](JobFacts& f) {
    f.image_set = std::move(image_set);
    return true;
  });
}

void SetJobStage(UpgradeJob& job, Stage stage) {
  job.stage = stage;
  Update(JobFactsChange::kStage, [&](JobFacts& f) {
    if (f.stage == stage) return false;
    f.stage = stage;
    return true;
  });
}

void NoteJobEnd(JobEnd end) {
  Update(JobFactsChange::kEnded, [&](JobFacts& f) {
    f.end = std::move(end);
    f.ended = std::chrono::system_clock::now();
    return true;
  });
}

const char* JobAttentionName(JobAttention attention) {
  return attention == JobAttention::kVersionUnconfirmed ? "version_unconfirmed" : "";
}

void NoteAttention(JobAttention attention) {
  // Told with the job's end, which follows.
  std::lock_guard lock(facts_mutex);
  facts.attention = attention;
}

void NoteShipping(bool shipped, std::string reason) {
  Update(JobFactsChange::kRecord, [&](JobFacts& f) {
    f.record.shipped = shipped;
    f.record.ship_reason = std::move(reason);
    return true;
  });
}

void NoteRecord(RecordFacts record) {
  Update(JobFactsChange::kRecord, [&](JobFacts& f) {
    f.record = std::move(record);
    return true;
  });
}

}  // namespace vek
