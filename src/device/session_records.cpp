// The station's and the line's records of this process's jobs: one recorder and
// one NV vault for the process, kept apart from the rest of the Session so that
// a program that keeps no records (vek-factory's own process) links no database.
#include "device/session.h"

#include "records/job_facts.h"
#include "store/nv_vault.h"
#include "store/station_recorder.h"

namespace vek {

namespace {

// The places a job searches for a module's kept NV backup; set at start-up, before any job.
std::unique_ptr<NvVault>& TheVault() {
  static std::unique_ptr<NvVault> vault;
  return vault;
}

// One recorder for the process, kept until it ends: a job's end may come after
// the Session, and what it was told is written before the process ends.
std::unique_ptr<StationRecorder>& TheRecorder() {
  static std::unique_ptr<StationRecorder> recorder;
  return recorder;
}

}  // namespace

const VaultSearch* Session::Vault() { return TheVault().get(); }

bool Session::RecordsKept() { return !TheRecorder() || TheRecorder()->Idle(); }

bool Session::RecordsWritten() { return !TheRecorder() || TheRecorder()->Written(); }

bool Session::AwaitRecords(std::chrono::steady_clock::time_point deadline, bool written_only) {
  return !TheRecorder() || TheRecorder()->AwaitIdle(deadline, written_only);
}

std::chrono::seconds Session::RecordsDrainLimit() { return kRecordsDrainLimit; }

void Session::CloseStationRecord() {
  SetJobFactsRecorder(nullptr);
  TheRecorder().reset();
}

void Session::KeepStationRecord(const std::string& path, const std::string& program, const std::string& line,
                                bool front_end_ends_jobs) {
  CloseStationRecord();
  TheVault() = std::make_unique<NvVault>(path, line);
  if (path.empty()) return;
  std::unique_ptr<StationRecorder>& recorder = TheRecorder();
  recorder = std::make_unique<StationRecorder>(path, program, line, front_end_ends_jobs);
  SetJobFactsRecorder(recorder.get());
}

}  // namespace vek
