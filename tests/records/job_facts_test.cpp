#include "records/job_facts.h"

#include <gtest/gtest.h>

#include "events/exit_status.h"

namespace {

using vek::JobResult;
using vek::JobStep;

// A fresh job on a module not yet known.
vek::JobFacts After(void (*steps)()) {
  vek::ForgetModule();
  vek::StartJobFacts();
  steps();
  return vek::JobFactsSnapshot();
}

// The first failure is the job's; a cause from outside (the cable, the stop)
// puts its reason in place, and what follows changes nothing.
TEST(JobFacts, TheFirstFailureWinsAndAnOutsideCauseCorrectsItsReason) {
  struct Case { const char* name; void (*steps)(); JobStep step; const char* image; const char* reason; };
  for (const Case& c : {
           Case{"first wins", [] { vek::EnterStep(JobStep::kBackup); vek::FailStep("a");
                                   vek::EnterStep(JobStep::kRestore); vek::FailStep("b"); }, JobStep::kBackup, "", "a"},
           Case{"outside corrects", [] { vek::EnterStep(JobStep::kImage, "x.mbn"); vek::FailStep("write failed");
                                         vek::FailStep("cable", true); vek::FailStep("c"); },
                JobStep::kImage, "x.mbn", "cable"},
           Case{"outside alone", [] { vek::EnterStep(JobStep::kBackup); vek::FailStep("aborted", true); },
                JobStep::kBackup, "", "aborted"},
       }) {
    const vek::JobFacts facts = After(c.steps);
    ASSERT_TRUE(facts.failed_step) << c.name;
    EXPECT_EQ(*facts.failed_step, c.step) << c.name;
    EXPECT_EQ(facts.failed_image, c.image) << c.name;
    EXPECT_EQ(facts.reason, c.reason) << c.name;
  }
}

// While a job runs the version it found stays the one before, whatever the module says later.
TEST(JobFacts, TheVersionBeforeIsKeptWhileTheJobRuns) {
  struct Case { const char* name; void (*steps)(); const char* before; const char* after; };
  for (const Case& c : {
           Case{"running", [] { vek::NoteVersion(false, " A\r\n"); vek::NoteVersion(false, "B"); }, "A", ""},
           Case{"after download", [] { vek::NoteVersion(false, "A"); vek::NoteVersion(true, "C"); }, "A", "C"},
           Case{"ended", [] { vek::NoteVersion(false, "A"); vek::NoteJobEnd({JobResult::kFailed});
                              vek::ForgetModule(); vek::NoteVersion(false, "B"); }, "A", ""},
           Case{"found after the end", [] { vek::NoteVersion(false, "A"); vek::NoteJobEnd({JobResult::kFailed});
                                            vek::ForgetModule(); vek::NoteVersion(false, "B"); vek::StartJobFacts(); }, "B", ""},
           Case{"kept into the next job", [] { vek::NoteVersion(false, "A"); vek::NoteJobEnd({JobResult::kSucceeded});
                                               vek::StartJobFacts(); vek::NoteVersion(false, "B"); }, "A", ""},
       }) {
    const vek::JobFacts facts = After(c.steps);
    EXPECT_EQ(facts.module.version_before, c.before) << c.name;
    EXPECT_EQ(facts.module.version_after, c.after) << c.name;
  }
}

// vek-cli's exit status and the records' word for each way a job ends.
TEST(JobFacts, EachResultHasItsWordAndExitStatus) {
  struct Case { JobResult result; const char* word; int status; };
  for (const Case& c : {Case{JobResult::kSucceeded, "succeeded", 0}, Case{JobResult::kFailed, "failed", 1},
                        Case{JobResult::kAborted, "aborted", 1}, Case{JobResult::kNoJob, "no_job", 3},
                        Case{JobResult::kRunning, "running", 1}}) {
    EXPECT_STREQ(vek::JobResultName(c.result), c.word);
    EXPECT_EQ(vekevents::ExitStatusOf(c.result), c.status) << c.word;
  }
}

}  // namespace
