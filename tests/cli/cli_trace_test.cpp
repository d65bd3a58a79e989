// vek-cli's protocol trace, end to end: the program as a child process against
// a simulated module in this process, traced by --trace and by VEK_TRACE.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "cli_process.h"
#include "one_module_job.h"
#include "images/platform_profile.h"
#include "records/job_records.h"
#include "sim/demo_images.h"
#include "sim/sim_module.h"
#include "test_support.h"
#include "trace_file_reader.h"
#include "upgradable_module.h"

namespace {

// The streaming hello as it goes out on the wire.
constexpr char kHelloFrame[] =
    "7E 01 51 43 4F 4D 20 66 61 73 74 20 64 6F 77 6E 6C 6F 61 64 20 70 72 6F 74 6F 63 6F 6C 20 68 6F 73 74 "
    "03 03 09 C6 32 7E";

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class CliTrace : public vektest::OneModuleJob {
 protected:
  // Small images: the trace of a whole job stays a few thousand lines.
  CliTrace() : OneModuleJob(4 * 1024) {}
};

// A whole job: --trace wins over VEK_TRACE; the trace holds the hello frame and
// every status the program printed, in order; "vek.log" holds none of it.
TEST_F(CliTrace, ThePathOptionRecordsAWholeJob) {
  setup_.extra_env = {"VEK_TRACE=" + Work("from-environment.txt")};
  const vektest::CliRun run = Cli({"--trace", "job-trace.txt"}, images_);
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  EXPECT_FALSE(std::filesystem::exists(Work("from-environment.txt")));

  const vektest::TraceFile trace = vektest::ReadTraceFile(Work("job-trace.txt"));
  EXPECT_TRUE(trace.well_formed) << (trace.bad_lines.empty() ? "" : trace.bad_lines.front());
  const auto sent = trace.Of('>');
  EXPECT_TRUE(std::any_of(sent.begin(), sent.end(), [](const auto& r) { return vektest::HexText(r.bytes) == kHelloFrame; }));
  EXPECT_FALSE(trace.Of('<').empty());
  // Every status line of standard output is a status record, in the same order.
  size_t next = 0;
  for (const std::string& line : run.OutLines()) {
    while (next < trace.records.size() &&
           !(trace.records[next].direction == '#' && trace.records[next].body.rfind("status: " + line, 0) == 0))
      ++next;
    ASSERT_LT(next, trace.records.size()) << "status not traced in order: " << line;
    ++next;
  }
  EXPECT_EQ(trace.records.back().body, "trace: stopped");
  const std::string log = ReadText(Work("vek.log"));
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.find("7E 06 4E 95 7E"), std::string::npos);
  EXPECT_EQ(log.find("status: "), std::string::npos);
}

// VEK_TRACE alone traces a run that ends without a job; an unusable trace path
// warns once and changes nothing else.
TEST_F(CliTrace, TheEnvironmentTracesAndABadPathOnlyWarns) {
  const std::string empty_images = dir_.File("empty");
  std::filesystem::create_directory(empty_images);
  setup_.extra_env = {"VEK_TRACE=" + Work("env-trace.txt")};
  const vektest::CliRun traced = Cli({}, empty_images);
  EXPECT_EQ(traced.exit_status, 3) << traced.out << traced.err;
  const vektest::TraceFile trace = vektest::ReadTraceFile(Work("env-trace.txt"));
  const auto sent = trace.Of('>');
  EXPECT_TRUE(std::any_of(sent.begin(), sent.end(),
                          [](const auto& r) { return vektest::HexText(r.bytes) == "7E 06 4E 95 7E"; }));
  EXPECT_TRUE(trace.HasStatus("please choose image folder!"));

  setup_.extra_env = {"VEK_TRACE=" + dir_.File("no-such-folder/trace.txt")};
  const vektest::CliRun untraced = Cli({}, empty_images);
  EXPECT_EQ(untraced.exit_status, 3) << untraced.out << untraced.err;
  EXPECT_NE(untraced.out.find("please choose image folder!"), std::string::npos) << untraced.out;
  EXPECT_NE(untraced.err.find("no-such-folder/trace.txt could not be opened"), std::string::npos) << untraced.err;
}

}  // namespace
