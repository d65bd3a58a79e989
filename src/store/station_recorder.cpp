#include "store/station_recorder.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include "app/log_file.h"
#include "images/image_fingerprint.h"
#include "link/small_file.h"
#include "records/job_records.h"
#include "records/stop_wait.h"
#include "store/line_shipping.h"
#include "store/pending_records.h"

namespace vek {
namespace {

// A job's "vek.log" is a few kilobytes; a runaway one is kept only this far.
constexpr size_t kLogLimit = 4 << 20;
// A whole backup of every NV item is about 1 MB; a file far past that is not one.
constexpr size_t kBackupLimit = 16 << 20;

std::string FirstLine(const std::string& path) {
  std::string text = ReadSmallFile(path, 128, TooLarge::kCut);
  if (const size_t end = text.find('\n'); end != std::string::npos) text.resize(end);
  return text;
}

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "unknown";
  return name;
}

}  // namespace

std::string NewRecordId() { return FirstLine("/proc/sys/kernel/random/uuid"); }

StationRecorder::StationRecorder(std::string path, std::string program, std::string line, bool front_end_ends_jobs)
    : path_(std::move(path)),
      program_(std::move(program)),
      line_(std::move(line)),
      station_(HostName()),
      boot_id_(FirstLine("/proc/sys/kernel/random/boot_id")),
      front_end_ends_jobs_(front_end_ends_jobs),
      thread_([this](std::stop_token stop) { Run(stop); }) {}

StationRecorder::~StationRecorder() {
  AwaitIdle(std::chrono::steady_clock::now() + kRecordsDrainLimit);
  {
    std::lock_guard lock(queue_mutex_);
    closing_ = true;
  }
  // A warning still waiting for a window that has gone is given up.
  thread_.request_stop();
  queue_changed_.notify_all();
  thread_.join();
}

void StationRecorder::JobFactsChanged(const JobFacts& facts, JobFactsChange change) {
  if (change != JobFactsChange::kStarted && change != JobFactsChange::kNvBackup && change != JobFactsChange::kEnded)
    return;  // the rest goes into the row at the end
  Told told{facts, change, {}, {}, {}, {}};
  if (change == JobFactsChange::kNvBackup && facts.nv_backup && !facts.nv_backup->sha256.empty()) {
    if (facts.nv_backup->bytes) {  // read back and hashed by the job already
      told.backup = facts.nv_backup->bytes;
      told.backup_sha256 = facts.nv_backup->sha256;
    } else {
      const std::string bytes = ReadSmallFile(facts.nv_backup->file, kBackupLimit, TooLarge::kNothing);
      told.backup = std::make_shared<const std::vector<uint8_t>>(bytes.begin(), bytes.end());
    }
  }
  if (change == JobFactsChange::kEnded) {
    told.log = ReadSmallFile(LogFilePath(), kLogLimit, TooLarge::kCut);
    told.folder = CurrentDirectory();
  } else if (change == JobFactsChange::kStarted) {
    told.folder = CurrentDirectory();
  }
  {
    std::lock_guard lock(queue_mutex_);
    queue_.push_back(std::move(told));
  }
  queue_changed_.notify_all();
}

bool StationRecorder::Idle() {
  std::lock_guard lock(queue_mutex_);
  return queue_.empty() && !busy_;
}

bool StationRecorder::Written() {
  std::lock_guard lock(queue_mutex_);
  return queue_.empty() && (!busy_ || shipping_);
}

bool StationRecorder::AwaitIdle(std::chrono::steady_clock::time_point deadline, bool written_only) {
  std::unique_lock lock(queue_mutex_);
  return queue_changed_.wait_until(lock, deadline, [&] {
    return queue_.empty() && (!busy_ || (written_only && shipping_));
  });
}

void StationRecorder::Run(std::stop_token stop) {
  // The program's own threads take the operator's signals (a front end may start
  // the recorder before it sets them aside for its loop); faults stay with the thread.
  sigset_t signals;
  sigfillset(&signals);
  for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP}) sigdelset(&signals, fault);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  StopScope scope(stop);
  for (;;) {
    Told told;
    {
      std::unique_lock lock(queue_mutex_);
      busy_ = false;
      shipping_ = false;
      queue_changed_.notify_all();
      queue_changed_.wait(lock, [this] { return !queue_.empty() || closing_; });
      if (queue_.empty()) return;
      told = std::move(queue_.front());
      queue_.pop_front();
      busy_ = true;
    }
    switch (told.change) {
      case JobFactsChange::kStarted: Start(told.facts, told.folder); break;
      case JobFactsChange::kNvBackup: KeepBackup(told); break;
      case JobFactsChange::kEnded: End(told); break;
      default: break;
    }
  }
}

template <typename Write>
bool StationRecorder::WithDatabase(Write write) {
  std::string reason, note;
  std::unique_ptr<StationDb> db = StationDb::Open(path_, StationDb::Mode::kWrite, reason, &note);
  if (!note.empty() && !mode_noted_) {
    mode_noted_ = true;
    Show("station record: " + note);
  }
  if (db && write(*db, reason)) return true;
  if (reason_.empty()) reason_ = reason.empty() ? "unknown error" : reason;
  return false;
}

std::string StationRecorder::Warning() {
  if (warned_ || reason_.empty()) return {};
  warned_ = true;
  return "station record not written: " + reason_;
}

// Shown outside the recorder's lock: the status line waits for the front end's thread.
void StationRecorder::Show(const std::string& warning) {
  if (warning.empty()) return;
  UpgradeJob& job = TheJob();
  if (job.show_status) job.show_status("%s", warning.c_str());
  // The job may have ended, and closed its log, while the database kept the
  // recorder waiting: the warning still goes into that job's log.
  if (!job.write_log) return;
  if (!TheLogFile().IsOpen() && WriteToLastRunLog(warning)) return;
  job.write_log("%s", warning.c_str());
}

StationJobRow StationRecorder::RowOf(const JobFacts& facts, const std::string& folder) const {
  StationJobRow row;
  row.id = id_;
  row.started_utc = UtcText(facts.started);
  row.station = station_;
  row.program = program_;
  row.vek_version = VEK_VERSION;
  row.usb_path = facts.module.usb_path;
  row.port = facts.module.port;
  row.imei = facts.module.imei;
  row.meid = facts.module.meid;
  row.product = facts.module.product;
  row.version_before = facts.module.version_before;
  row.version_after = facts.module.version_after;
  if (facts.image_set) {
    row.image_set_sha256 = facts.image_set->sha256;
    row.files = facts.image_set->files;
  }
  if (facts.nv_backup) row.nv_records = facts.nv_backup->records;
  if (facts.nv_restore) row.nv_refused = facts.nv_restore->refused;
  row.result = JobResultName(facts.end.result);
  if (facts.failed_step) row.failed_step = JobStepName(*facts.failed_step);
  row.nv_backup = nv_backup_;
  row.folder = folder;
  row.pid = getpid();
  row.boot_id = boot_id_;
  return row;
}

void StationRecorder::Start(const JobFacts& facts, const std::string& folder) {
  id_ = NewRecordId();
  reason_.clear();
  kept_aside_.clear();
  folder_ = folder;
  nv_backup_.clear();
  warned_ = false;
  line_warned_ = false;
  const StationJobRow row = RowOf(facts, folder);
  std::vector<std::string> unreadable;
  WithDatabase([&](StationDb& db, std::string& reason) {
    // Rows earlier jobs had to keep aside go in first (they ship at this job's end).
    SettlePendingRows(db, PendingRowFolders(db, folder), &unreadable);
    return WriteJobRow(db, row, reason);
  });
  for (const std::string& note : unreadable) Show(note);
  Show(Warning());
  NoteRecord({id_, std::nullopt, {}});
}

void StationRecorder::KeepBackup(const Told& told) {
  const JobFacts& facts = told.facts;
  if (!facts.nv_backup || facts.nv_backup->sha256.empty() || !told.backup || told.backup->empty() || id_.empty())
    return;
  StationNvBackup backup;
  backup.module = !facts.module.imei.empty() ? facts.module.imei : facts.module.meid;
  backup.taken_utc = UtcText(std::chrono::system_clock::now());
  backup.records = facts.nv_backup->records;
  backup.bytes = *told.backup;
  backup.sha256 = told.backup_sha256;
  if (backup.sha256.empty()) {  // bytes the recorder read itself
    Sha256Hasher hasher;
    hasher.Update(backup.bytes);
    backup.sha256 = HexOf(hasher.Finish());
    if (!hasher.ok()) return;
  }
  backup.job_id = id_;
  if (WithDatabase([&](StationDb& db, std::string& reason) { return WriteNvBackup(db, backup, reason); })) {
    nv_backup_ = "stored";
  } else if (std::string why_not; KeepPendingBackup(folder_, backup, why_not)) {
    nv_backup_ = "pending";
    Show(Warning());
    Show("NV backup kept in " + folder_ + "/" + kPendingRecordsFolder + " until the database takes it");
  }
  Show(Warning());
}

void StationRecorder::End(const Told& told) {
  const JobFacts& facts = told.facts;
  if (id_.empty()) {
    // Ended before it began (no module, another VEK running ...): a row of its own.
    // A job's end told again (the engine's, then the front end's) rewrites its row.
    id_ = NewRecordId();
    reason_.clear();
    kept_aside_.clear();
    nv_backup_.clear();
    warned_ = false;
  }
  StationJobRow row = RowOf(facts, told.folder);
  if (facts.started == std::chrono::system_clock::time_point{}) row.started_utc = UtcText(facts.ended);
  row.ended_utc = UtcText(facts.ended);
  row.text = facts.end.text;
  row.exit_status = facts.end.exit_status;
  row.attention = JobAttentionName(facts.attention);
  row.duration_s = facts.DurationSeconds();
  row.log = told.log;
  const bool row_in =
      WithDatabase([&](StationDb& db, std::string& reason) { return WriteJobRow(db, row, reason); });
  const bool written = row_in && reason_.empty();
  std::string why_not_kept;
  if (row_in && !kept_aside_.empty()) {
    DropPendingRow(told.folder, id_);
    kept_aside_.clear();
  } else if (!row_in && kept_aside_.empty() && KeepPendingRow(told.folder, row, why_not_kept)) {
    kept_aside_ = told.folder + "/" + kPendingRecordsFolder;
    Show(Warning());
    Show("station record kept in " + kept_aside_ + " until the database takes it");
  } else if (!row_in && !kept_aside_.empty()) {
    KeepPendingRow(told.folder, row, why_not_kept);  // the end told again replaces the kept one
  }
  Show(Warning());
  NoteRecord({id_, written, reason_});
  if (!facts.end.by_engine || !front_end_ends_jobs_) Ship();
}

void StationRecorder::Ship() {
  if (line_.empty()) return;
  {
    std::lock_guard lock(queue_mutex_);
    shipping_ = true;
  }
  queue_changed_.notify_all();
  std::string reason, warning;
  std::unique_ptr<StationDb> station = StationDb::Open(path_, StationDb::Mode::kWrite, reason);
  std::unique_ptr<LineDb> line = station ? LineDb::Connect(line_, reason) : nullptr;
  // A backlog goes a few jobs at a time: the rest at the next job's end.
  ShippingCount count;
  if (line) count = ShipPending(*station, *line, reason, std::chrono::steady_clock::now() + kLineShippingBudget);
  for (const std::string& words : count.set_aside) Show("line record: " + words);
  if (!reason.empty() && !line_warned_) {
    line_warned_ = true;
    warning = "line record not shipped: " + reason;
  }
  Show(warning);
  NoteShipping(reason.empty(), reason);
}

}  // namespace vek
