// The station's record of every job: told of each change of the job's facts
// before any front end, it makes the job's row when the job starts, stores each
// NV backup as soon as it is whole, and completes the row when the job ends.
//
// The database and the line are written on the recorder's own thread, in the
// order the changes came: whichever thread changes the facts (the worker, the
// window's thread on a cable pull) only hands over a copy and goes on, so no
// job or window ever waits for a disk lock or a silent line database. What the
// thread must read from files the job may change later (the backup's bytes, the
// job's "vek.log") is read when the change is told.
//
// A database that cannot be written never fails the job: the status line and
// "vek.log" say "station record not written: <reason>" once per job, and the
// job's facts carry the reason for the event stream and the tray's report.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "records/job_facts.h"
#include "store/station_rows.h"

namespace vek {

// Longer than a job's end may take with every store at its limit (a busy
// station database, a line that connects, ships and answers at the last moment):
// how long a front end waits at the end for the records to be written.
inline constexpr std::chrono::seconds kRecordsDrainLimit{30};

class StationRecorder : public JobFactsObserver {
 public:
  // `path`: the database file; `program`: "vek", "vek-cli" ...; `line`: the
  // line's connection string (empty: none). A front end that tells every job's
  // end itself (`front_end_ends_jobs`) has the row shipped after its word, not
  // the engine's: the line keeps the first copy it is given.
  StationRecorder(std::string path, std::string program, std::string line = {}, bool front_end_ends_jobs = false);
  // Writes what it was told (within each store's own limits), then ends its thread.
  ~StationRecorder() override;
  StationRecorder(const StationRecorder&) = delete;
  StationRecorder& operator=(const StationRecorder&) = delete;

  void JobFactsChanged(const JobFacts& facts, JobFactsChange change) override;

  // True when every change told so far has been written (and shipped).
  bool Idle();
  // True when every change told so far is in the station's database (or kept
  // aside): only shipping to the line may still go on.
  bool Written();
  // Waits for that (or, `written_only`, for Written), at most until `deadline`; true when it came.
  bool AwaitIdle(std::chrono::steady_clock::time_point deadline, bool written_only = false);

 private:
  // One change as told, with what had to be read at once.
  struct Told {
    JobFacts facts;
    JobFactsChange change;
    // kNvBackup: the backup file's bytes and their SHA-256 (hexadecimal)
    std::shared_ptr<const std::vector<uint8_t>> backup;
    std::string backup_sha256;
    std::string log, folder;      // kEnded: the job's "vek.log" and folder
  };
  void Run(std::stop_token stop);
  void Start(const JobFacts& facts, const std::string& folder);
  void KeepBackup(const Told& told);
  void End(const Told& told);
  StationJobRow RowOf(const JobFacts& facts, const std::string& folder) const;
  // Writes with a freshly opened database (it may have been replaced, made
  // read-only or filled since the last write); false and `reason_` on failure.
  template <typename Write>
  bool WithDatabase(Write write);
  // The warning to show once per job (empty: none, or shown already).
  std::string Warning();
  static void Show(const std::string& warning);

  // What the station has not shipped yet goes to the line's database (empty: none).
  void Ship();

  const std::string path_, program_, line_, station_, boot_id_;
  const bool front_end_ends_jobs_;

  std::mutex queue_mutex_;
  std::condition_variable_any queue_changed_;
  std::deque<Told> queue_;  // under queue_mutex_
  bool busy_ = false;       // the thread is writing one, under queue_mutex_
  bool shipping_ = false;   // ...and has come to shipping it, under queue_mutex_
  bool closing_ = false;    // the thread ends once the queue is empty, under queue_mutex_

  // The thread's own state.
  std::string id_;       // the current job's row
  std::string reason_;   // the first failure of the current job
  std::string kept_aside_;  // where its row waits for the database (empty: not kept aside)
  std::string folder_;      // the job's folder, where a backup the database would not take waits
  std::string nv_backup_;   // the row's word on its backup: "stored", "pending" or none
  bool warned_ = false;
  bool line_warned_ = false;  // the line's warning is told once per job
  bool mode_noted_ = false;   // a database others may read is told once per process

  std::jthread thread_;  // last: started once everything it uses stands
};

// A random UUID, as the kernel makes them ("c0b6...-...").
std::string NewRecordId();

}  // namespace vek
