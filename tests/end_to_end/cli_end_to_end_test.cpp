// vek-cli end to end: the program runs as a child process against a simulated
// module in this process, each run in its own working and runtime folder.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <set>

#include "app/single_instance.h"
#include "cli_process.h"
#include "images/platform_profile.h"
#include "nv/nv_history.h"
#include "nv_job_fixture.h"
#include "records/job_records.h"
#include "sha256sum_tool.h"
#include "sim/demo_images.h"
#include "sim/port_map_file.h"
#include "sim/sim_module.h"
#include "test_support.h"
#include "upgradable_module.h"

namespace {

using sim::FaultKind;
using sim::SimState;
using vektest::CliRun;

constexpr char kRemovedText[] = "usb cable has been removed!";

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<uint8_t> ReadBytes(const std::string& path) {
  const std::string text = ReadFile(path);
  return {text.begin(), text.end()};
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The log's lines that follow "start download...", each ended by a line feed alone.
std::string LogLinesAfterStart(const std::string& log, size_t count) {
  size_t at = log.find("start download...\r\n");
  if (at == std::string::npos) return "";
  at += std::strlen("start download...\r\n");
  std::string lines;
  for (size_t end; count > 0 && (end = log.find("\r\n", at)) != std::string::npos; at = end + 2, --count)
    lines += log.substr(at, end - at) + "\n";
  return lines;
}

class CliEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    images_ = dir_.File("images");
    ASSERT_TRUE(sim::WriteImageFolder(images_, vek::PLATFORM_6280, 16 * 1024, 64 * 1024));
    ports_ = dir_.File("ports");
    std::filesystem::create_directory(dir_.File("work"));
    std::filesystem::create_directory(dir_.File("run"));
    setup_.working_dir = dir_.File("work");
    setup_.runtime_dir = dir_.File("run");
  }

  // A module that names ZX2180 in its revision and reports a new one after a download.
  sim::SimModuleOptions ModuleOptions(SimState state = SimState::kFirmware, const std::string& map = "") const {
    return vektest::UpgradableModuleOptions(map.empty() ? ports_ : map, state);
  }

  sim::SimModule& StartModule(const sim::SimModuleOptions& options) {
    module_ = std::make_unique<sim::SimModule>(options);
    std::string error;
    EXPECT_TRUE(module_->Start(&error)) << error;
    return *module_;
  }

  CliRun Cli(std::vector<std::string> args) {
    args.insert(args.begin(), {"--port-map", ports_, "--images", images_});
    CliRun run = vektest::RunCli(args, setup_);
    EXPECT_FALSE(run.timed_out) << "vek-cli hung; stdout:\n" << run.out << "\nstderr:\n" << run.err;
    return run;
  }

  std::string Work(const std::string& name) const { return dir_.File("work/" + name); }

  vektest::TempDir dir_;
  std::string images_, ports_;
  vektest::CliSetup setup_;
  std::unique_ptr<sim::SimModule> module_;
};

// The flash holds exactly the platform's images, byte for byte, and its partition table.
void ExpectFlashHoldsImages(sim::SimDevice& device, const std::string& images) {
  const vek::PlatformProfile* profile = vek::ProfileOf(vek::PLATFORM_6280);
  ASSERT_NE(profile, nullptr);
  std::lock_guard lock(device.mutex);
  std::set<uint8_t> expected, written;
  for (const auto& image : profile->images) expected.insert(image.type);
  for (const auto& [type, image] : device.flash) written.insert(type);
  EXPECT_EQ(written, expected);
  for (const auto& image : profile->images) {
    const auto found = device.flash.find(image.type);
    if (found == device.flash.end()) continue;
    vek::ImageSlot slot;
    ASSERT_TRUE(vek::SlotOfImageData(image.type, slot));
    EXPECT_EQ(found->second.data, ReadBytes(images + "/" + vek::SlotFileName(slot, *profile))) << int(image.type);
    EXPECT_TRUE(found->second.closed) << int(image.type);
    if (vek::SlotOfImageHeader(image.type, slot)) {
      EXPECT_EQ(found->second.header, ReadBytes(images + "/" + vek::SlotFileName(slot, *profile))) << int(image.type);
    }
  }
  EXPECT_EQ(device.partition_table, ReadBytes(images + "/partition.mbn"));
}

TEST_F(CliEndToEnd, AFullJobFlashesTheImagesAndBringsTheNvItemsBack) {
  sim::SimModule& module = StartModule(ModuleOptions());
  const auto nv_before = module.device().nv.Snapshot();

  const CliRun run = Cli({});
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  const auto lines = run.OutLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "ready to download"), lines.end());
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
    return Contains(line, "update version") && Contains(line, "ZX2180_SIM_V1.0 to version") &&
           Contains(line, "ZX2180_SIM_V1.1");
  })) << run.out;
  for (const auto& line : lines) {
    EXPECT_FALSE(line.rfind("Version:", 0) == 0) << "console text on stdout: " << line;
    EXPECT_FALSE(line.empty());
  }
  EXPECT_TRUE(Contains(run.err, "Version:SIM_FW_1.0.0")) << run.err;

  // Right after "start download...": what sha256sum says of the files in load
  // order, then the digest of those lines.
  std::vector<std::string> names;
  const vek::PlatformProfile& profile = *vek::ProfileOf(vek::PLATFORM_6280);
  for (vek::ImageSlot slot : profile.files) names.push_back(vek::SlotFileName(slot, profile));
  const std::string digests = vektest::Sha256sumLines(images_, names);
  ASSERT_EQ(std::count(digests.begin(), digests.end(), '\n'), static_cast<long>(names.size())) << digests;
  EXPECT_EQ(LogLinesAfterStart(ReadFile(Work("vek.log")), names.size() + 1),
            digests + "image set SHA-256: " + vektest::Sha256sumOfLines(images_, names) + "\n");
  EXPECT_GT(std::filesystem::file_size(Work("backup.nvb")), 0u);
  // The copy named after the module's IMEI.
  std::vector<std::string> copies;
  for (const auto& entry : std::filesystem::directory_iterator(Work("")))
    if (entry.path().extension() == ".nvb" && entry.path().filename() != "backup.nvb") copies.push_back(entry.path());
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_EQ(std::filesystem::path(copies[0]).stem().string().find_first_not_of("0123456789"), std::string::npos);
  EXPECT_TRUE(ReadFile(copies[0]) == ReadFile(Work("backup.nvb")));
  ExpectFlashHoldsImages(module.device(), images_);
  EXPECT_TRUE(module.device().nv.Snapshot() == nv_before) << "the NV store differs after the job";

  // The host's share of one core while the whole job ran (reported, not judged here).
  const double share = run.cpu_seconds / run.wall_seconds;
  std::cout << "vek-cli full job: wall " << run.wall_seconds << " s, cpu " << run.cpu_seconds << " s, share " << share
            << "\n";
  RecordProperty("cpu_share_percent", static_cast<int>(share * 100));
}

TEST_F(CliEndToEnd, InADownloadModeTheProductMustBeNamed) {
  for (SimState state : {SimState::kBootLoader, SimState::kProgrammer}) {
    SCOPED_TRACE(sim::SimStateName(state));
    StartModule(ModuleOptions(state));
    const CliRun without = Cli({});
    EXPECT_EQ(without.exit_status, 3);
    EXPECT_TRUE(Contains(without.err, "Error: please choose the project!\n")) << without.err;
    module_.reset();
  }
  sim::SimModule& module = StartModule(ModuleOptions(SimState::kBootLoader));
  const CliRun with = Cli({"--product", "ZX2180"});
  EXPECT_EQ(with.exit_status, 0) << with.out << with.err;
  ExpectFlashHoldsImages(module.device(), images_);
}

TEST_F(CliEndToEnd, NoJobRunsWithTwoModulesAnIncompleteFolderOrNoModule) {
  // Two modules listed in one port map.
  auto first_options = ModuleOptions(SimState::kFirmware, dir_.File("first"));
  auto second_options = ModuleOptions(SimState::kFirmware, dir_.File("second"));
  second_options.com_base = 40;
  sim::SimModule first(first_options), second(second_options);
  ASSERT_TRUE(first.Start());
  ASSERT_TRUE(second.Start());
  std::vector<vek::PortEntry> entries;
  for (sim::SimModule* module : {&first, &second})
    for (auto role : {sim::SimPortRole::kDiagnostics, sim::SimPortRole::kAt, sim::SimPortRole::kNmea})
      entries.push_back({module->FriendlyName(role), module->DevicePath(role)});
  ASSERT_TRUE(sim::WritePortMapFile(ports_, entries));
  const CliRun two = Cli({});
  EXPECT_EQ(two.exit_status, 3) << two.out << two.err;
  first.Stop();
  second.Stop();

  // One module, but an image missing from the folder.
  std::filesystem::remove(images_ + "/amss.mbn");
  StartModule(ModuleOptions());
  const CliRun incomplete = Cli({});
  EXPECT_EQ(incomplete.exit_status, 3) << incomplete.out << incomplete.err;
  EXPECT_TRUE(Contains(incomplete.out, "please choose image folder!\n")) << incomplete.out;
  module_.reset();

  // No module at all.
  ASSERT_TRUE(sim::WritePortMapFile(ports_, {}));
  const CliRun nobody = Cli({"--timeout", "1"});
  EXPECT_EQ(nobody.exit_status, 3);
  EXPECT_TRUE(Contains(nobody.out, "please plug in USB!\n")) << nobody.out;
}

TEST_F(CliEndToEnd, TheCommandLineAndASecondInstance) {
  EXPECT_EQ(vektest::RunCli({"--no-such-option"}, setup_).exit_status, 2);
  EXPECT_EQ(vektest::RunCli({"--timeout", "-3"}, setup_).exit_status, 2);
  const CliRun not_a_number = vektest::RunCli({"--timeout", "abc"}, setup_);
  EXPECT_EQ(not_a_number.exit_status, 2);
  EXPECT_EQ(not_a_number.err, "vek-cli: --timeout expects a number of seconds greater than 0, not \"abc\"\n");
  EXPECT_TRUE(not_a_number.out.empty()) << not_a_number.out;
  EXPECT_EQ(vektest::RunCli({"--product", "NOPE"}, setup_).exit_status, 2);
  const CliRun help = vektest::RunCli({"--help"}, setup_);
  EXPECT_EQ(help.exit_status, 0);
  EXPECT_TRUE(Contains(help.out, "--port-map")) << help.out;
  const CliRun version = vektest::RunCli({"--version"}, setup_);
  EXPECT_EQ(version.exit_status, 0);
  EXPECT_TRUE(Contains(version.out, "vek-cli")) << version.out;

  // Another VEK holds the lock in the same runtime folder.
  vek::SingleInstance other(setup_.runtime_dir + "/" + vek::kLockFileName);
  ASSERT_TRUE(other.acquired());
  StartModule(ModuleOptions());
  const CliRun second = Cli({});
  EXPECT_EQ(second.exit_status, 3) << "a refusal must not read as a success";
  EXPECT_TRUE(Contains(second.err, "VEK has been running")) << second.err;
  EXPECT_TRUE(second.out.empty()) << second.out;
  EXPECT_TRUE(module_->device().flash.empty());
}

int Occurrences(const std::string& text, const std::string& part) {
  int count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
  return count;
}

// A module whose download resets its NV items and which then refuses every NV
// write with 0x42 (it came back locked); later it takes writes again.
TEST_F(CliEndToEnd, NoNvItemsAreLostWhenARestoreWritesNothing) {
  auto options = ModuleOptions();
  options.nv.reset_by_download = true;
  options.nv.write_refusal = 0x42;
  sim::SimModule& module = StartModule(options);
  sim::SimNvStore as_made;  // the module's own items, before any download
  as_made.Configure(options.nv);
  const std::vector<uint8_t> original = nvtest::ExpectedBackup(as_made);

  const CliRun refused = Cli({});
  EXPECT_EQ(refused.exit_status, 1) << refused.out << refused.err;
  EXPECT_EQ(Occurrences(refused.out, "restore backup.nvb failed!\n"), 1) << refused.out;
  EXPECT_FALSE(Contains(refused.out, "successful")) << refused.out;
  const std::string records = std::to_string(original.size() / 131);
  const std::string first_log = ReadFile(Work("vek.log"));
  EXPECT_TRUE(Contains(first_log, "restore NVB: " + records + " of " + records + " records refused")) << first_log;
  EXPECT_EQ(Occurrences(first_log, "restore backup.nvb failed!"), 1) << first_log;
  EXPECT_EQ(std::to_string(Occurrences(first_log, "restore NV:")), records) << "one line for each record";
  EXPECT_TRUE(ReadBytes(Work("backup.nvb")) == original);

  // Unlocked, the job runs again: its backup holds the reset items (kept in
  // nv-history/ like the original before them), but the module is owed the
  // original, and gets it.
  module.device().nv.SetWriteRefusal(0);
  const CliRun again = Cli({});
  ASSERT_EQ(again.exit_status, 0) << again.out << again.err;
  EXPECT_TRUE(Contains(again.out, "the last job on this module did not restore it\n")) << again.out;
  EXPECT_TRUE(nvtest::ExpectedBackup(module.device().nv) == original) << "the module's own items are back";
  EXPECT_TRUE(ReadBytes(Work("backup.nvb")) == original);
  const auto kept = vek::KeptCopies(Work(""), "backup.nvb");
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_TRUE(ReadBytes(Work("nv-history/" + kept[0])) == original);
  EXPECT_FALSE(std::filesystem::exists(Work("nv-pending"))) << "the owed restore is made";

  // A few writes refused: the restore holds and says how many. The backup is the
  // same as the last one, so nothing more goes into the history.
  module.faults().Add({SimState::kFirmware, 0x27, FaultKind::kRefuse, 0x42, 3});
  const CliRun partly = Cli({});
  EXPECT_EQ(partly.exit_status, 0) << partly.out << partly.err;
  const std::string partly_line = "restore NVB: 3 of " + std::to_string(ReadBytes(Work("backup.nvb")).size() / 131) +
                                  " records refused";
  EXPECT_TRUE(Contains(partly.out, partly_line + "\n")) << partly.out;
  EXPECT_TRUE(Contains(ReadFile(Work("vek.log")), partly_line + "\r\n"));
  EXPECT_TRUE(Contains(partly.out, "restore backup.nvb successful!\n")) << partly.out;
  EXPECT_EQ(vek::KeptCopies(Work(""), "backup.nvb"), kept);
}

// A failed flash write leaves the module in its programmer, owed its backup. The
// next job starts there, and the module's first answer after that job's download
// is lost: the module is still named, so it gets its own items back.
TEST_F(CliEndToEnd, AModuleOwedItsItemsGetsThemThoughItsFirstAnswerAfterTheDownloadIsLost) {
  auto options = ModuleOptions();
  options.nv.reset_by_download = true;
  sim::SimModule& module = StartModule(options);
  const std::vector<uint8_t> original = nvtest::ExpectedBackup(module.device().nv);
  module.faults().Add({SimState::kProgrammer, 0x07, FaultKind::kRefuse, 0x13});
  ASSERT_EQ(Cli({}).exit_status, 1);
  ASSERT_EQ(module.state(), SimState::kProgrammer);
  module.faults().Clear();
  sim::FaultRule lost{SimState::kFirmware, 0, FaultKind::kSilence, 0, 1};
  lost.at_command = "ATI";
  lost.after_download = true;
  module.faults().Add(lost);
  const CliRun next = Cli({"--product", "ZX2180"});
  EXPECT_EQ(next.exit_status, 0) << next.out << next.err;
  EXPECT_TRUE(Contains(next.out, "restore backup.nvb successful!\n")) << next.out;
  EXPECT_TRUE(nvtest::ExpectedBackup(module.device().nv) == original) << "the module's own items are back";
}

// The cable pulled at a stage where the port must stay: the job is aborted and says why.
struct PulledCable {
  const char* where;
  SimState state;
  uint8_t request;
};

class CablePulled : public CliEndToEnd, public ::testing::WithParamInterface<PulledCable> {};

TEST_P(CablePulled, AbortsTheJobAndSaysSo) {
  sim::SimModule& module = StartModule(ModuleOptions());
  module.faults().Add({GetParam().state, GetParam().request, FaultKind::kPull, 0, 1});
  const CliRun run = Cli({});
  EXPECT_EQ(run.exit_status, 1) << run.out << run.err;
  EXPECT_TRUE(module.cable_pulled());
  EXPECT_TRUE(Contains(run.err, std::string("Error: ") + kRemovedText + "\n")) << run.err;
  EXPECT_TRUE(Contains(run.out, "download failed!\n")) << run.out;
  EXPECT_TRUE(Contains(ReadFile(Work("vek.log")), kRemovedText));
}

INSTANTIATE_TEST_SUITE_P(Stages, CablePulled,
                         ::testing::Values(PulledCable{"Backup", SimState::kFirmware, 0x26},
                                           PulledCable{"Images", SimState::kProgrammer, 0x07},
                                           PulledCable{"Restore", SimState::kFirmware, 0x27}),
                         [](const auto& info) { return std::string(info.param.where); });

TEST_F(CliEndToEnd, PortsThatVanishDuringAModeSwitchDoNotStopTheJob) {
  // At the boot loader's go every port goes and comes back a moment later, the programmer running.
  sim::SimModule& module = StartModule(ModuleOptions());
  module.faults().Add({SimState::kBootLoader, 0x05, FaultKind::kPull, 1500, 1});
  const CliRun run = Cli({});
  EXPECT_EQ(run.exit_status, 0) << run.out << run.err;
  EXPECT_FALSE(Contains(run.err, kRemovedText));
  {
    std::lock_guard lock(module.device().mutex);
    EXPECT_GE(module.device().boots, 2);  // the pull and the reset after the images
  }
  ExpectFlashHoldsImages(module.device(), images_);
}

}  // namespace
