// The station's record of every job: told of each change of the job's facts
// before any front end, it makes the job's row when the job starts, stores each
// NV backup as soon as it is whole, and completes the row when the job ends.
//
// A database that cannot be written never fails the job: the status line and
// "vek.log" say "station record not written: <reason>" once per job, and the
// job's facts carry the reason for the event stream and the tray's report.
#pragma once

#include <mutex>
#include <string>

#include "records/job_facts.h"
#include "records/station_rows.h"

namespace vek {

class StationRecorder : public JobFactsObserver {
 public:
  // `path`: the database file; `program`: "vek", "vek-cli" ...; `line`: the
  // line's connection string (empty: none). A front end that tells every job's
  // end itself (`front_end_ends_jobs`) has the row shipped after its word, not
  // the engine's: the line keeps the first copy it is given.
  StationRecorder(std::string path, std::string program, std::string line = {}, bool front_end_ends_jobs = false);

  void JobFactsChanged(const JobFacts& facts, JobFactsChange change) override;

 private:
  void Start(const JobFacts& facts);
  void KeepBackup(const JobFacts& facts);
  void End(const JobFacts& facts);
  StationJobRow RowOf(const JobFacts& facts) const;
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
  std::mutex mutex_;  // the worker's changes and the front end's end arrive on two threads
  std::string id_;       // the current job's row, under mutex_
  std::string reason_;   // the first failure of the current job, under mutex_
  bool warned_ = false;  // under mutex_
  bool line_warned_ = false;  // the line's warning is told once per job, under mutex_
};

// A random UUID, as the kernel makes them ("c0b6...-...").
std::string NewRecordId();

}  // namespace vek
