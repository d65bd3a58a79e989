// vek-cli's event stream and its stop on SIGINT, end to end: the program runs as
// a child process against a simulated module in this process, and its events are
// parsed back as JSON, while it runs when a test must act at a given moment.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#include "cli_process.h"
#include "images/platform_profile.h"
#include "records/job_records.h"
#include "sim/demo_images.h"
#include "sim/sim_module.h"
#include "test_support.h"
#include "upgradable_module.h"

namespace {

using nlohmann::json;
using vektest::CliRun;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Every line of `text` parsed as one JSON object with a "type" and a "t" that never goes back.
std::vector<json> ParseEvents(const std::string& text) {
  std::vector<json> events;
  double last_t = 0;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    const json event = json::parse(text.substr(start, end - start), nullptr, false);
    EXPECT_TRUE(event.is_object()) << "not a JSON object: " << text.substr(start, end - start);
    if (!event.is_object()) continue;
    EXPECT_TRUE(event.contains("type") && event["type"].is_string()) << event;
    EXPECT_TRUE(event.contains("t") && event["t"].is_number()) << event;
    if (event.value("t", -1.0) < last_t) ADD_FAILURE() << "time went back: " << event;
    last_t = event.value("t", last_t);
    events.push_back(event);
  }
  EXPECT_EQ(start, text.size()) << "the stream ends inside a line";
  return events;
}

// The identity events merged: each carries what became known.
std::map<std::string, std::string> Identity(const std::vector<json>& events) {
  std::map<std::string, std::string> facts;
  for (const json& event : events)
    if (event["type"] == "identity")
      for (const auto& [key, value] : event.items())
        if (key != "type" && key != "t") facts[key] = value.get<std::string>();
  return facts;
}

std::vector<json> OfType(const std::vector<json>& events, const std::string& type) {
  std::vector<json> found;
  for (const json& event : events)
    if (event["type"] == type) found.push_back(event);
  return found;
}

// Reads the event stream from a FIFO while vek-cli writes it, and sends vek-cli
// SIGINT at the first event `stop_here` picks (told the stage the stream last named).
class EventTail {
 public:
  using Pick = std::function<bool(const json& event, const std::string& stage)>;

  EventTail(const std::string& fifo, Pick stop_here) : stop_here_(std::move(stop_here)) {
    EXPECT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Open before vek-cli starts, so that its open for writing finds a reader.
    fd_ = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    EXPECT_GE(fd_, 0);
    thread_ = std::thread([this] { Read(); });
  }
  ~EventTail() {
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) close(fd_);
  }

  void Started(pid_t pid) { pid_ = pid; }
  // Waits until vek-cli has closed the stream (bounded), then the events read.
  std::string Finish() {
    if (thread_.joinable()) thread_.join();
    return text_;
  }
  bool signalled() const { return signalled_; }

 private:
  void Read() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::string stage;
    size_t parsed = 0;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || fd_ < 0) return;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char buffer[4096];
      const ssize_t n = read(fd_, buffer, sizeof buffer);
      if (n == 0) return;  // vek-cli closed it (a FIFO polls readable only once a writer came)
      if (n < 0) continue;
      text_.append(buffer, static_cast<size_t>(n));
      for (size_t end; (end = text_.find('\n', parsed)) != std::string::npos; parsed = end + 1) {
        const json event = json::parse(text_.substr(parsed, end - parsed), nullptr, false);
        if (!event.is_object()) continue;
        if (event.value("type", "") == "stage") stage = event.value("stage", "");
        if (!signalled_ && pid_ > 0 && stop_here_(event, stage)) {
          kill(pid_, SIGINT);
          signalled_ = true;
        }
      }
    }
  }

  Pick stop_here_;
  int fd_ = -1;
  std::atomic<pid_t> pid_{0};
  std::atomic<bool> signalled_{false};
  std::string text_;
  std::thread thread_;
};

class CliEvents : public ::testing::Test {
 protected:
  void SetUp() override {
    images_ = dir_.File("images");
    ports_ = dir_.File("ports");
    std::filesystem::create_directory(dir_.File("work"));
    std::filesystem::create_directory(dir_.File("run"));
    setup_.working_dir = dir_.File("work");
    setup_.runtime_dir = dir_.File("run");
  }

  sim::SimModule& StartModule(size_t image_bytes = 64 * 1024,
                              const std::function<void(sim::SimModuleOptions&)>& adjust = {}) {
    EXPECT_TRUE(sim::WriteImageFolder(images_, vek::PLATFORM_6280, 16 * 1024, image_bytes));
    auto options = vektest::UpgradableModuleOptions(ports_);
    options.usb.path = "1-2.3";
    if (adjust) adjust(options);
    module_ = std::make_unique<sim::SimModule>(options);
    std::string error;
    EXPECT_TRUE(module_->Start(&error)) << error;
    return *module_;
  }

  CliRun Cli(std::vector<std::string> args, EventTail* tail = nullptr) {
    args.insert(args.begin(), {"--port-map", ports_, "--images", images_});
    vektest::CliSetup setup = setup_;
    if (tail != nullptr) setup.on_started = [tail](pid_t pid) { tail->Started(pid); };
    CliRun run = vektest::RunCli(args, setup);
    EXPECT_FALSE(run.timed_out) << "vek-cli hung; stdout:\n" << run.out << "\nstderr:\n" << run.err;
    return run;
  }

  std::string Work(const std::string& name) const { return dir_.File("work/" + name); }

  // The flash holds every image of the platform, each closed.
  void ExpectFlashComplete() {
    const vek::PlatformProfile& profile = *vek::ProfileOf(vek::PLATFORM_6280);
    std::lock_guard lock(module_->device().mutex);
    std::set<uint8_t> expected, written;
    for (const auto& image : profile.images) expected.insert(image.type);
    for (const auto& [type, image] : module_->device().flash)
      if (image.closed) written.insert(type);
    EXPECT_EQ(written, expected);
  }

  vektest::TempDir dir_;
  std::string images_, ports_;
  vektest::CliSetup setup_;
  std::unique_ptr<sim::SimModule> module_;
};

TEST_F(CliEvents, AWholeJobTellsItsFactsAndItsEndOneJsonObjectALine) {
  StartModule();
  const CliRun run = Cli({"--events", Work("events.jsonl")});
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  const std::vector<json> events = ParseEvents(ReadFile(Work("events.jsonl")));
  ASSERT_GE(events.size(), 3u);
  EXPECT_EQ(events.front()["type"], "start");
  EXPECT_TRUE(Contains(run.out, "ready to download\n")) << "a file stream leaves the status texts on stdout";

  const auto identity = Identity(events);
  EXPECT_EQ(identity, (std::map<std::string, std::string>{{"port", "COM20"},
                                                          {"usb_path", "1-2.3"},
                                                          {"imei", "356938035643809"},
                                                          {"product", "ZX2180"},
                                                          {"software_version", "ZX2180_SIM_V1.0"},
                                                          {"software_version_after", "ZX2180_SIM_V1.1"}}));
  // The fingerprint is the one "vek.log" names.
  const auto image_sets = OfType(events, "image_set");
  ASSERT_EQ(image_sets.size(), 1u);
  EXPECT_TRUE(Contains(ReadFile(Work("vek.log")),
                       "image set SHA-256: " + image_sets[0]["sha256"].get<std::string>() + "\r\n"));
  const auto restores = OfType(events, "nv_restore");
  ASSERT_EQ(restores.size(), 1u);
  EXPECT_GT(restores[0]["records"].get<int>(), 0);
  EXPECT_EQ(restores[0]["refused"], 0);

  std::vector<std::string> stages;
  for (const json& event : OfType(events, "stage")) stages.push_back(event["stage"]);
  for (const char* stage : {"backup", "images", "restore"})
    EXPECT_NE(std::find(stages.begin(), stages.end(), stage), stages.end()) << stage;
  // The percent only when it moves.
  const auto progress = OfType(events, "progress");
  ASSERT_FALSE(progress.empty());
  for (size_t i = 1; i < progress.size(); ++i) EXPECT_NE(progress[i]["percent"], progress[i - 1]["percent"]);

  // The steps in the job's order, each image by its file, and the restart at the end.
  std::vector<std::string> steps;
  for (const json& event : OfType(events, "step")) {
    EXPECT_FALSE(event.contains("failed_step")) << event;
    steps.push_back(event.value("step", "") + (event.contains("image") ? " " + event.value("image", "") : ""));
  }
  EXPECT_EQ(steps, (std::vector<std::string>{"connect", "backup", "switch", "programmer", "partition",
                                             "image qcsblhd_cfgdata.mbn", "image qcsbl.mbn", "image oemsbl.mbn",
                                             "image amss.mbn", "reset", "restore", "identity", "normal_reset"}));
  EXPECT_EQ(OfType(events, "normal_reset").size(), 1u);
  const json& result = events.back();
  EXPECT_EQ(result["type"], "result");
  EXPECT_EQ(result["outcome"], "succeeded");
  EXPECT_EQ(result["exit_status"], 0);
  // The version report, as the job logged it.
  const std::string text = result["text"];
  EXPECT_TRUE(Contains(text, "ZX2180_SIM_V1.0 to version") && Contains(text, "ZX2180_SIM_V1.1")) << text;
  EXPECT_TRUE(Contains(ReadFile(Work("vek.log")), "\r\n" + text + "\r\n")) << text;
  EXPECT_FALSE(result.contains("signal"));
}

// A failing job's stream names the step that failed and the operator's text for it.
struct FailedStep {
  const char* name;
  std::function<void(sim::SimModuleOptions&)> adjust;
  std::optional<sim::FaultRule> fault;
  const char* step;
  const char* reason;
};

class CliEventsOfAFailure : public CliEvents, public ::testing::WithParamInterface<FailedStep> {};

TEST_P(CliEventsOfAFailure, NameTheFailedStepAndWhy) {
  sim::SimModule& module = StartModule(64 * 1024, GetParam().adjust);
  if (GetParam().fault) module.faults().Add(*GetParam().fault);
  const CliRun run = Cli({"--events", Work("events.jsonl")});
  EXPECT_EQ(run.exit_status, 1) << run.out << run.err;
  const std::vector<json> events = ParseEvents(ReadFile(Work("events.jsonl")));
  std::vector<json> failed;
  for (const json& event : OfType(events, "step"))
    if (event.contains("failed_step")) failed.push_back(event);
  // A cause from outside (the cable) may follow the job's own failure and correct its reason: the last one holds.
  ASSERT_FALSE(failed.empty()) << run.out;
  EXPECT_EQ(failed.back()["failed_step"], GetParam().step);
  EXPECT_EQ(failed.back()["reason"], GetParam().reason);
  EXPECT_TRUE(OfType(events, "normal_reset").empty());
  EXPECT_EQ(events.back()["outcome"], "failed");
}

INSTANTIATE_TEST_SUITE_P(
    Faults, CliEventsOfAFailure,
    ::testing::Values(
        FailedStep{"RefusedWrite", {}, sim::FaultRule{sim::SimState::kProgrammer, 0x07, sim::FaultKind::kRefuse, 0x13, 1},
                   "image", "write failed"},
        FailedStep{"PartitionMismatch", [](sim::SimModuleOptions& o) { o.programmer.partition_mismatch = true; },
                   std::nullopt, "partition", "partition mismatch"},
        FailedStep{"NvWritesRefused", [](sim::SimModuleOptions& o) { o.nv.write_refusal = 0x42; }, std::nullopt,
                   "restore", "restore backup.nvb failed!"},
        FailedStep{"CablePulled", {}, sim::FaultRule{sim::SimState::kFirmware, 0x26, sim::FaultKind::kPull, 0, 1},
                   "backup", "usb cable has been removed!"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CliEvents, TheStreamMustBeWritable) {
  for (const std::string where : {"fd:57", "fd:0", "fd:x", "/nonexistent/events.jsonl"}) {
    const CliRun run = vektest::RunCli({"--events", where}, setup_);
    EXPECT_EQ(run.exit_status, 2) << where;
    EXPECT_TRUE(Contains(run.err, "vek-cli: --events")) << run.err;
  }
}

// SIGINT while the backup is read: the job fails as aborted, and the backup of an
// earlier job stays as it was, not moved into the history.
TEST_F(CliEvents, SigintDuringTheBackupKeepsThePreviousBackup) {
  StartModule();
  const std::string previous(131 * 3, '\x5A');
  std::ofstream(Work("backup.nvb"), std::ios::binary) << previous;
  EventTail tail(Work("events.fifo"), [](const json& event, const std::string& stage) {
    return event["type"] == "progress" && stage == "backup";
  });
  const CliRun run = Cli({"--events", Work("events.fifo")}, &tail);
  const std::vector<json> events = ParseEvents(tail.Finish());
  ASSERT_TRUE(tail.signalled()) << run.out << run.err;
  EXPECT_EQ(run.exit_status, 1) << run.out << run.err;
  EXPECT_TRUE(Contains(ReadFile(Work("vek.log")), "\r\naborted\r\n")) << ReadFile(Work("vek.log"));
  EXPECT_EQ(ReadFile(Work("backup.nvb")), previous);
  EXPECT_FALSE(std::filesystem::exists(Work("backup.nvb.part")));
  EXPECT_FALSE(std::filesystem::exists(Work("nv-history")) && !std::filesystem::is_empty(Work("nv-history")));
  EXPECT_FALSE(Contains(run.err, "waits in its")) << run.err;
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back()["type"], "result");
  EXPECT_EQ(events.back()["outcome"], "aborted");
  EXPECT_EQ(events.back()["signal"], "SIGINT");
  EXPECT_EQ(events.back()["exit_status"], 1);
  // The port was released: the module answers the next job.
  std::lock_guard lock(module_->device().mutex);
  EXPECT_TRUE(module_->device().flash.empty());
}

// SIGINT while the images are written: the module is left in its programmer, and
// the next run (naming the product) finishes the download.
TEST_F(CliEvents, SigintDuringTheFlashWriteLeavesTheModuleToTheNextRun) {
  StartModule(1024 * 1024);
  EventTail tail(Work("events.fifo"), [](const json& event, const std::string& stage) {
    return event["type"] == "progress" && stage == "images";
  });
  const CliRun stopped = Cli({"--events", Work("events.fifo")}, &tail);
  const std::vector<json> events = ParseEvents(tail.Finish());
  ASSERT_TRUE(tail.signalled()) << stopped.out << stopped.err;
  EXPECT_EQ(stopped.exit_status, 1) << stopped.out << stopped.err;
  EXPECT_TRUE(Contains(ReadFile(Work("vek.log")), "\r\naborted\r\n"));
  EXPECT_TRUE(Contains(stopped.err, "the module waits in its programmer")) << stopped.err;
  EXPECT_GT(std::filesystem::file_size(Work("backup.nvb")), 0u);
  EXPECT_FALSE(std::filesystem::exists(Work("backup.nvb.part")));
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back()["outcome"], "aborted");
  EXPECT_EQ(events.back()["exit_status"], 1);

  // The stream on standard output: nothing else goes there.
  const CliRun next = Cli({"--product", "ZX2180", "--events", "-"});
  EXPECT_EQ(next.exit_status, 0) << next.out << next.err;
  const std::vector<json> next_events = ParseEvents(next.out);
  ASSERT_FALSE(next_events.empty());
  EXPECT_EQ(next_events.back()["outcome"], "succeeded");
  EXPECT_EQ(Identity(next_events)["product"], "ZX2180");
  EXPECT_TRUE(Contains(next.err, "ready to download\n")) << next.err;
  ExpectFlashComplete();
}

}  // namespace
