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
#include <optional>
#include <string>
#include <vector>

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
};

struct NvRestoreFacts {
  int records = 0;  // whole records sent
  int refused = 0;  // of them, not written
};

struct JobFacts {
  std::chrono::system_clock::time_point started{};
  JobStep step = JobStep::kNone;
  std::string image;  // the image file of JobStep::kImage
  // On a failure: the step that failed, its image, and the operator's text for it.
  std::optional<JobStep> failed_step;
  std::string failed_image;
  std::string reason;
  bool normal_reset_sent = false;
  std::optional<NvBackupFacts> nv_backup;
  std::optional<NvRestoreFacts> nv_restore;
};

// What changed.
enum class JobFactsChange { kStarted, kStep, kFailed, kNormalReset, kNvBackup, kNvRestore };

class JobFactsObserver {
 public:
  virtual ~JobFactsObserver() = default;
  virtual void JobFactsChanged(const JobFacts& facts, JobFactsChange change) = 0;
};

// The observer of the process's job facts (none: nobody is told).
void SetJobFactsObserver(JobFactsObserver* observer);

// A copy of the facts as they stand.
JobFacts JobFactsSnapshot();

// The changes, each told to the observer.
void StartJobFacts();                                     // a new job: everything cleared
void EnterStep(JobStep step, const std::string& image = {});
// The current step failed and the operator was told `reason`. The first failure
// is the job's, what follows is its consequence; a cause from outside the job
// (the cable pulled, the operator's stop) takes its place with `outside`.
void FailStep(const std::string& reason, bool outside = false);
void NoteNormalReset();
void NoteNvBackup(NvBackupFacts backup);
void NoteNvRestore(std::optional<NvRestoreFacts> restore);  // nothing: no restore ran through its file

}  // namespace vek
