// A job's facts, kept once and typed: the engine fills them at the points where
// it shows a step's texts, and every view of a job (the event stream, the
// report line, the records) is made from them, never from a status text.
//
// One record per process, as the job and device records. The download worker
// writes it; any thread reads a snapshot. An observer hears of every change on
// the thread that made it, after the change (the Session hands it on to the
// front end's thread).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "records/job_records.h"
#include "records/job_result.h"

namespace vek {

// The steps of a job, in the order a whole job takes them.
enum class JobStep {
  kNone,
  kConnect,          // open the port, probe, interface type
  kBackup,           // unlock and read the NV items
  kSwitch,           // from the firmware into the boot loader
  kProgrammer,       // nop, parameters, the programmer's blocks, go
  kPartition,        // hello, security mode, the partition table
  kImage,            // open, write and close one image (JobFacts::image names it)
  kEraseEfs,         // erase the EFS
  kReset,            // the programmer's reset
  kRestore,          // offline, unlock, write the NV items back
  kIdentity,         // the upgraded module's identity over its AT port
  kRestoreDefaults,  // AT&F1
  kNormalReset,      // the module told to restart into its firmware
};

// "connect", "backup", ..., "image", ..., "normal_reset": the name in the event stream.
const char* JobStepName(JobStep step);

struct NvBackupFacts {
  int records = 0;
  std::vector<int> unread;  // items the module never answered right, left out of the file
  std::string file;         // the backup file written, by its full path
  std::string sha256;       // of the file as written (empty: it could not be read back)
  int window = 0;           // NV requests in flight at the end (--nv-window; 0: one at a time)
  // The bytes `sha256` was taken of, read back once and shared by every copy of
  // the facts: whoever keeps the backup takes these rather than hashing again.
  std::shared_ptr<const std::vector<uint8_t>> bytes;
};

struct NvRestoreFacts {
  int records = 0;  // whole records sent
  int refused = 0;  // of them, not written
  int window = 0;   // NV requests in flight at the end (--nv-window; 0: one at a time)
};

// What the module's identity is, as its AT port labelled it ("IMEI:" or "MEID:").
enum class IdentityKind { kUnknown, kImei, kMeid };

// The module as the job knew it; empty texts while unknown.
struct JobModule {
  std::string port;            // the diagnostic port ("COM7")
  std::string usb_path;        // where it is plugged in ("1-2.3")
  IdentityKind identity = IdentityKind::kUnknown;  // which of the two below it reported last
  std::string imei;            // its IMEI, or
  std::string meid;            // its MEID
  std::string product;         // the product the job was made for
  std::string version_before;  // the software version it reported before the job
  std::string version_after;   // and after the download
};

struct ImageFileFacts {
  std::string name;
  uint64_t size = 0;
  std::string sha256;  // 64 lower-case hexadecimal digits
};

struct ImageSetFacts {
  std::string sha256;  // of the set, as logged ("image set SHA-256: ...")
  std::vector<ImageFileFacts> files;  // in load order
};

struct JobEnd {
  JobResult result = JobResult::kRunning;
  std::string text;     // the operator's last word on it
  int exit_status = 0;  // the front end's exit status
  int signal = 0;       // the signal that stopped it, 0 if none
  bool by_engine = false;  // told by the engine; a front end may tell it again, whole
};

// What the operator must look at once the job has ended.
enum class JobAttention {
  kNone,
  kVersionUnconfirmed,  // the module did not name its version after the download (or at the end)
};

// "version_unconfirmed"; "" for kNone: the word of the event stream, the report line and the records.
const char* JobAttentionName(JobAttention attention);

// The job's row in the station's database.
struct RecordFacts {
  std::string id;               // the row's id (a UUID); empty: no record is kept
  std::optional<bool> written;  // nothing until the job's end tells
  std::string reason;           // why it was not written
  std::optional<bool> shipped;  // to the line database at the job's end; nothing when there is none
  std::string ship_reason;      // why it was not shipped (the status line says it; never in the event stream:
                                // a connection string's words may be in it)
};

struct JobFacts {
  std::chrono::system_clock::time_point started{};
  std::chrono::system_clock::time_point ended{};  // while running: the epoch
  JobModule module;
  std::optional<ImageSetFacts> image_set;
  Stage stage = STAGE_IDLE;
  JobStep step = JobStep::kNone;
  std::string image;  // the image file of JobStep::kImage
  // On a failure: the step that failed, its image, and the operator's text for it.
  std::optional<JobStep> failed_step;
  std::string failed_image;
  std::string reason;
  bool normal_reset_sent = false;
  std::optional<NvBackupFacts> nv_backup;
  std::optional<NvRestoreFacts> nv_restore;
  JobEnd end;
  // Set by the engine; the front end's end keeps it (the job's end is told again whole).
  JobAttention attention = JobAttention::kNone;
  RecordFacts record;

  double DurationSeconds() const;  // from start to end (or to now while running)
};

// What changed.
enum class JobFactsChange {
  kStarted, kStep, kFailed, kNormalReset, kNvBackup, kNvRestore, kModule, kImageSet, kStage, kEnded, kRecord
};

class JobFactsObserver {
 public:
  virtual ~JobFactsObserver() = default;
  virtual void JobFactsChanged(const JobFacts& facts, JobFactsChange change) = 0;
};

// The observer of the process's job facts (none: nobody is told).
void SetJobFactsObserver(JobFactsObserver* observer);
// The station's record, told of each change before the observer (none: no record).
void SetJobFactsRecorder(JobFactsObserver* recorder);

// A copy of the facts as they stand.
JobFacts JobFactsSnapshot();

// The changes, each told to the observer.
void StartJobFacts();  // a new job: everything cleared but the module it works on
void ForgetModule();   // the search starts over: another module may come
void EnterStep(JobStep step, const std::string& image = {});
// The current step failed and the operator was told `reason`. The first failure
// is the job's, what follows is its consequence; a cause from outside the job
// (the cable pulled, the operator's stop) takes its place with `outside`.
void FailStep(const std::string& reason, bool outside = false);
void NoteNormalReset();
void NoteNvBackup(NvBackupFacts backup);
void NoteNvRestore(std::optional<NvRestoreFacts> restore);  // nothing: no restore ran through its file
void NotePort(const std::string& port, const std::string& usb_path);
void NoteIdentity(IdentityKind kind, const std::string& value);
void NoteProduct(const std::string& name);
// The version reported before the job stays the one before once the job runs.
void NoteVersion(bool after_download, const std::string& version);
void NoteImageSet(ImageSetFacts image_set);
// The job's stage record and its fact together.
void SetJobStage(UpgradeJob& job, Stage stage);
void NoteJobEnd(JobEnd end);
void NoteAttention(JobAttention attention);  // told with the job's end
void NoteRecord(RecordFacts record);
// Whether the job's row reached the line database (and why not).
void NoteShipping(bool shipped, std::string reason);

}  // namespace vek
