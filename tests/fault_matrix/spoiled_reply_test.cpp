// One reply of a whole job spoiled (sent twice, stale, cut short, garbled, with
// another code, late, not at all) at an NV read, an NV write, a streaming write
// and an AT reply, against a module whose download resets its NV items. A job
// may end in exit 0 only with the images in the flash and every NV item as the
// module had it; otherwise it ends in exit 1 with the module's items kept, and
// the next clean job puts them back.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <thread>

#include "cli_process.h"
#include "fault_matrix_cells.h"
#include "images/platform_profile.h"
#include "nv_job_fixture.h"
#include "sim/demo_images.h"
#include "sim/sim_module.h"
#include "test_support.h"
#include "upgradable_module.h"

namespace {

using sim::FaultKind;
using sim::SimState;

struct Place {
  const char* name;
  SimState state;
  uint8_t code;
  int skip;                // the spoiled reply answers the request after these many of its kind
  const char* at_command;  // an AT command line instead of a diagnostic request
};

const Place kPlaces[] = {
    {"NV read", SimState::kFirmware, 0x26, 3000, ""},
    {"NV write", SimState::kFirmware, 0x27, 200, ""},
    {"streaming write", SimState::kProgrammer, 0x07, 4, ""},  // the block at 4096
    {"AT reply", SimState::kFirmware, 0, 0, "AT+KORVANATI"},  // the identity read at connection
};

struct Spoil {
  const char* name;
  FaultKind kind;
  uint32_t value;
};

// Twice: the copy 40 ms after the reply, once the next request has gone out. Late:
// past the first wait for an NV reply (4000 ms), well inside a block's 30 000 ms.
const Spoil kSpoils[] = {{"twice", FaultKind::kTwice, 40},       {"stale", FaultKind::kStale, 0},
                         {"cut short", FaultKind::kCut, 0},     {"garbled", FaultKind::kCorruptByte, 0},
                         {"another code", FaultKind::kRefuse, 0x13}, {"late", FaultKind::kLate, 5000},
                         {"silent", FaultKind::kSilence, 0}};

// The values as the module gives them, with the blank before them.
const std::string kVersionReport = "update version  ZX2180_SIM_V1.0 to version  ZX2180_SIM_V1.1";
const std::string kUnknownBefore = "update version  to version  ZX2180_SIM_V1.1";

std::string Bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class Case {
 public:
  Case(const Place& place, const Spoil& spoil, const std::string& images)
      : place_(place), spoil_(spoil), images_(images) {}

  // "" when the case held, else what went wrong.
  std::string Run() {
    std::filesystem::create_directory(dir_.File("work"));
    std::filesystem::create_directory(dir_.File("run"));
    sim::SimModuleOptions options = vektest::UpgradableModuleOptions(dir_.File("ports"));
    options.nv.reset_by_download = true;
    options.programmer.reboot_delay_ms = 100;
    options.firmware.reboot_delay_ms = 100;
    sim::SimNvStore as_made;
    as_made.Configure(options.nv);
    const nvtest::Bytes original = nvtest::ExpectedBackup(as_made);
    original_.assign(original.begin(), original.end());
    module_ = std::make_unique<sim::SimModule>(options);
    if (!module_->Start()) return "the simulated module did not start";
    sim::FaultRule rule{place_.state, place_.code, spoil_.kind, spoil_.value, 1};
    rule.skip = place_.skip;
    rule.at_command = place_.at_command;
    module_->faults().Add(rule);

    const vektest::CliRun first = Cli({});
    std::string wrong;
    if (first.timed_out) wrong += "hung; ";
    if (first.exit_status == 0) {
      wrong += ModuleWrong();
      // A version the module did not give in time is unknown, never a wrong one.
      const bool unknown_before = *place_.at_command != '\0' && Contains(first.out, kUnknownBefore);
      if (!Contains(first.out, kVersionReport) && !unknown_before) wrong += "exit 0 with another version report; ";
      if (Bytes(Work("backup.nvb")) != original_) wrong += "exit 0 with a backup.nvb that is not the module's; ";
    } else if (first.exit_status != 1) {
      wrong += "exit " + std::to_string(first.exit_status) + "; ";
    } else if (!OriginalKept() && !NvWrong().empty()) {
      wrong += "exit 1, and the module's items are neither in it nor in a backup; ";
    }
    outcome_ = "exit " + std::to_string(first.exit_status);
    if (first.exit_status != 0) {
      module_->faults().Clear();
      const SimState state = module_->state();
      const vektest::CliRun next = Cli(state != SimState::kFirmware ? std::vector<std::string>{"--product", "ZX2180"}
                                                                     : std::vector<std::string>{});
      outcome_ += std::string(", next job from the ") + sim::SimStateName(state) + ": exit " +
                  std::to_string(next.exit_status);
      if (next.exit_status != 0) wrong += "the next clean job failed: " + next.out + next.err + "; ";
      else wrong += ModuleWrong();
    }
    return wrong;
  }

  const std::string& outcome() const { return outcome_; }

 private:
  std::string Work(const std::string& name) const { return dir_.File("work/" + name); }

  vektest::CliRun Cli(std::vector<std::string> args) {
    args.insert(args.begin(), {"--port-map", dir_.File("ports"), "--images", images_, "--timeout", "8"});
    vektest::CliSetup setup;
    setup.working_dir = dir_.File("work");
    setup.runtime_dir = dir_.File("run");
    setup.time_scale = faultmatrix::kCliTimeScale;
    setup.limit_seconds = 90;
    return vektest::RunCli(args, setup);
  }

  // The flash holds the images and the module every NV item it had.
  std::string ModuleWrong() {
    std::string wrong;
    const vek::PlatformProfile* profile = vek::ProfileOf(vek::PLATFORM_6280);
    std::unique_lock lock(module_->device().mutex);
    for (const auto& image : profile->images) {
      vek::ImageSlot slot;
      const auto found = module_->device().flash.find(image.type);
      if (!vek::SlotOfImageData(image.type, slot)) continue;
      const std::string expected = Bytes(images_ + "/" + vek::SlotFileName(slot, *profile));
      if (found == module_->device().flash.end() ||
          std::string(found->second.data.begin(), found->second.data.end()) != expected)
        wrong += "image " + std::to_string(image.type) + " not in the flash; ";
    }
    lock.unlock();
    return wrong + NvWrong();
  }

  std::string NvWrong() {
    const nvtest::Bytes now = nvtest::ExpectedBackup(module_->device().nv);
    return std::string(now.begin(), now.end()) == original_ ? "" : "the module's NV items are not its own; ";
  }

  // The module's own items are in "backup.nvb" or in the note of the restore it is owed.
  bool OriginalKept() const {
    if (Bytes(Work("backup.nvb")) == original_) return true;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(Work("nv-pending"), error))
      if (entry.path().extension() == ".nvb" && Bytes(entry.path()) == original_) return true;
    return false;
  }

  const Place& place_;
  const Spoil& spoil_;
  const std::string& images_;
  std::string original_;
  std::string outcome_;
  vektest::TempDir dir_;
  std::unique_ptr<sim::SimModule> module_;
};

TEST(SpoiledReply, NoJobCallsALossASuccessAndTheNextJobPutsTheItemsBack) {
  vektest::TempDir images_dir;
  const std::string images = images_dir.File("images");
  ASSERT_TRUE(sim::WriteImageFolder(images, vek::PLATFORM_6280, 16 * 1024, 16 * 1024));
  struct Result {
    const Place* place;
    const Spoil* spoil;
    std::string wrong, outcome;
  };
  std::vector<Result> results;
  for (const Place& place : kPlaces)
    for (const Spoil& spoil : kSpoils)
      // AT replies carry no check: a flipped bit inside a value cannot be told.
      if (*place.at_command == '\0' || spoil.kind != FaultKind::kCorruptByte) results.push_back({&place, &spoil, {}, {}});
  std::atomic<size_t> next{0};
  {
    std::vector<std::jthread> workers;
    for (int w = 0; w < faultmatrix::kParallelCells; ++w)
      workers.emplace_back([&] {
        for (size_t i; (i = next++) < results.size();) {
          Case one(*results[i].place, *results[i].spoil, images);
          results[i].wrong = one.Run();
          results[i].outcome = one.outcome();
        }
      });
  }
  for (const Result& result : results) {
    std::cout << result.place->name << " / " << result.spoil->name << ": " << result.outcome << "\n";
    EXPECT_EQ(result.wrong, "") << result.place->name << " / " << result.spoil->name << " (" << result.outcome << ")";
  }
}

}  // namespace
