// The fault matrix: vek-cli runs a whole job against the simulated module while
// one request of the upgrade meets one fault (no answer, a refusal, a damaged
// reply, a reply in pieces, the cable pulled). Every cell must end on its own,
// say what happened, release the ports, keep "backup.nvb" whole (and the one it
// replaced in nv-history/), write no NV item it did not read intact, and leave a
// module in a download mode that the next run picks up. The table goes to artifacts/fault-matrix.md.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

#include "cli_process.h"
#include "fault_matrix_cells.h"
#include "images/platform_profile.h"
#include "link/process_scan.h"
#include "nv/nv_history.h"
#include "nv/nv_pending_restore.h"
#include "records/job_records.h"
#include "sim/demo_images.h"
#include "sim/sim_module.h"
#include "test_paths.h"
#include "test_support.h"
#include "upgradable_module.h"

namespace {

using faultmatrix::Fault;
using faultmatrix::Request;
using sim::FaultKind;
using sim::SimState;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

// A backup left by an earlier job: three whole records whose data no module holds.
std::string PreviousBackup() {
  std::string bytes;
  for (uint16_t item : {1, 2, 3}) {
    std::string record(131, static_cast<char>(0xA5));
    record[0] = 0x26;
    record[1] = static_cast<char>(item & 0xFF);
    record[2] = static_cast<char>(item >> 8);
    bytes += record;
  }
  return bytes;
}

// Which cell started which vek-cli: the process group of every run, by its leader's pid.
class RunRegistry {
 public:
  void Add(pid_t group, const std::string& cell) {
    std::lock_guard lock(mutex_);
    cells_[group] = cell;
  }
  std::optional<std::string> CellOf(pid_t group) const {
    std::lock_guard lock(mutex_);
    const auto found = cells_.find(group);
    return found == cells_.end() ? std::nullopt : std::optional<std::string>(found->second);
  }

 private:
  mutable std::mutex mutex_;
  std::map<pid_t, std::string> cells_;
};

RunRegistry& Runs() {
  static RunRegistry runs;
  return runs;
}

// A process that has one of the looked-for files open.
struct Holder {
  std::string path;
  pid_t pid = 0, parent = 0, group = 0;
  std::string program, command_line;
};

std::string ReadProcFile(const std::string& path) {
  std::string text = ReadFile(path);
  std::replace(text.begin(), text.end(), '\0', ' ');
  while (!text.empty() && (text.back() == ' ' || text.back() == '\n')) text.pop_back();
  return text;
}

// The processes other than this one that have one of `paths` open (the ports,
// vek.log). No child of this process is between fork() and execve() meanwhile.
std::vector<Holder> HoldersOf(const std::vector<std::string>& paths) {
  std::vector<std::filesystem::path> targets;
  std::error_code error;
  for (const auto& path : paths)
    if (!path.empty()) targets.push_back(std::filesystem::weakly_canonical(path, error));
  std::vector<Holder> holders;
  std::unique_lock gate(vektest::ForkExecGate());
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return holders;
  const std::string self = std::to_string(getpid());
  while (dirent* entry = readdir(proc)) {
    const std::string pid = entry->d_name;
    if (pid.find_first_not_of("0123456789") != std::string::npos || pid == self) continue;
    std::filesystem::directory_iterator fds("/proc/" + pid + "/fd", error), end;
    for (; !error && fds != end; fds.increment(error)) {
      const auto link = std::filesystem::read_symlink(fds->path(), error);
      if (error || std::find(targets.begin(), targets.end(), link) == targets.end()) continue;
      Holder holder;
      holder.path = link.string();
      holder.pid = std::stoi(pid);
      // "pid (name) state ppid pgrp ...": the name may hold spaces and parentheses.
      const std::string stat = ReadFile("/proc/" + pid + "/stat");
      const auto close = stat.rfind(')');
      std::istringstream rest(close == std::string::npos ? "" : stat.substr(close + 1));
      std::string state;
      rest >> state >> holder.parent >> holder.group;
      holder.program = vek::ProcessComm(vek::kProcRoot, holder.pid);
      holder.command_line = ReadProcFile("/proc/" + pid + "/cmdline");
      holders.push_back(holder);
    }
    error.clear();
  }
  closedir(proc);
  return holders;
}

// Who a holder is, as seen from the cell `cell`.
std::string Describe(const Holder& holder, const std::string& cell) {
  std::string whose;
  if (const auto owner = Runs().CellOf(holder.group))
    whose = *owner == cell ? "this cell's vek-cli (group " + std::to_string(holder.group) + ")"
                           : "another cell's vek-cli (" + *owner + ")";
  else if (holder.parent == getpid())
    whose = "a child of the test process";
  else
    whose = "another program";
  return holder.path + " by pid " + std::to_string(holder.pid) + " " + holder.program + " [" + holder.command_line +
         "], " + whose;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string OneLine(std::string text) {
  std::replace(text.begin(), text.end(), '\n', ' ');
  std::erase(text, '\r');
  return text;
}

// What the runs share: the image folder and the backup a clean job writes.
struct Shared {
  std::string images;
  std::string full_backup;  // "backup.nvb" after a job without faults
};

struct CellResult {
  bool held = false;
  std::string outcome;  // the table's cell text
};

class CellRun {
 public:
  CellRun(const Shared& shared, const Request& request, std::optional<Fault> fault)
      : shared_(shared), request_(request), fault_(fault),
        name_(request.name + (fault ? " / " + fault->name : std::string())) {}

  CellResult Run() {
    std::filesystem::create_directory(dir_.File("work"));
    std::filesystem::create_directory(dir_.File("run"));
    WriteFile(Work("backup.nvb"), previous_);
    if (request_.erase_efs) WriteFile(Work("config.ini"), "[EraseEFS]\nenable=1\n");

    sim::SimModuleOptions options = vektest::UpgradableModuleOptions(dir_.File("ports"));
    options.bootloader.reenumerate_delay_ms = 100;
    options.programmer.reboot_delay_ms = 100;
    options.firmware.reboot_delay_ms = 100;
    if (request_.switch_ports != faultmatrix::SwitchPorts::kKept) {
      options.usb.path = "1-2.3";
      options.usb.switch_reenumerate = true;
      options.usb.switch_delay_ms = 300;
      if (request_.switch_ports == faultmatrix::SwitchPorts::kReenumerateNew)
        options.usb.download_com = faultmatrix::kReenumeratedCom;
    }
    module_ = std::make_unique<sim::SimModule>(options);
    if (!module_->Start()) return {false, "FAILED: the simulated module did not start"};
    if (fault_) module_->faults().Add(faultmatrix::RuleFor(request_, *fault_));
    const auto nv_before = module_->device().nv.Snapshot();

    std::vector<std::string> args;
    if (request_.restore_default) args.push_back("--restore-default");
    const vektest::CliRun run = Cli(args);
    const faultmatrix::Expected expected = faultmatrix::ExpectedOutcome(request_, fault_);

    std::vector<std::string> faults;
    CheckRun(run, expected, faults);
    CheckReleased(faults);
    CheckBackup(faults);
    CheckNvWrites(nv_before, faults);
    const std::string second = PickUpWhereItStands(faults);

    const bool first_said = Contains(run.out, expected.text) || Contains(run.err, expected.text);
    const std::string& said = first_said || expected.or_text.empty() ? expected.text : expected.or_text;
    std::string summary = "exit " + std::to_string(run.exit_status) + ", '" + said + "'" + second;
    if (faults.empty()) return {true, "held: " + summary};
    KeepForALook();
    std::string text = "FAILED: ";
    for (const auto& fault : faults) text += fault + "; ";
    return {false, text + "(stdout: " + OneLine(run.out) + " stderr: " + OneLine(run.err) + ")"};
  }

  std::string Backup() const { return ReadFile(Work("backup.nvb")); }

 private:
  // A failed cell's working folder (and the first run's trace, when traced) go to
  // artifacts/fault-matrix-failed/<cell>/.
  void KeepForALook() const {
    std::string folder = name_;
    for (char& c : folder)
      if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    const std::filesystem::path kept = std::string(vektest::BinaryDir()) + "/artifacts/fault-matrix-failed/" + folder;
    std::error_code error;
    std::filesystem::remove_all(kept, error);
    std::filesystem::create_directories(kept, error);
    std::filesystem::copy(Work(""), kept, std::filesystem::copy_options::recursive, error);
    std::filesystem::copy(dir_.File("trace.txt"), kept / "trace.txt", error);
  }

  std::string Work(const std::string& name) const { return dir_.File("work/" + name); }

  vektest::CliRun Cli(std::vector<std::string> args) {
    // As a script would: no endless wait for a module that never shows up.
    args.insert(args.begin(), {"--port-map", dir_.File("ports"), "--images", shared_.images, "--timeout", "8"});
    vektest::CliSetup setup;
    setup.working_dir = dir_.File("work");
    setup.runtime_dir = dir_.File("run");
    setup.time_scale = faultmatrix::kCliTimeScale;
    setup.limit_seconds = 90;
    setup.on_started = [this](pid_t group) { Runs().Add(group, name_); };
    // VEK_FAULT_MATRIX_TRACE=1: every frame of the first run in trace.txt, kept for a failed cell.
    if (getenv("VEK_FAULT_MATRIX_TRACE") != nullptr && !std::filesystem::exists(dir_.File("trace.txt")))
      args.insert(args.end(), {"--trace", dir_.File("trace.txt")});
    return vektest::RunCli(args, setup);
  }

  // The run ended by itself with the exit status and the text this cell calls for.
  void CheckRun(const vektest::CliRun& run, const faultmatrix::Expected& expected, std::vector<std::string>& faults) {
    if (run.timed_out) faults.push_back("hung (killed after 90 s)");
    if (run.exit_status != expected.exit_status)
      faults.push_back("exit " + std::to_string(run.exit_status) + " instead of " +
                       std::to_string(expected.exit_status));
    const auto said = [&](const std::string& text) { return Contains(run.out, text) || Contains(run.err, text); };
    if (!said(expected.text) && (expected.or_text.empty() || !said(expected.or_text)))
      faults.push_back("'" + expected.text + "' not said");
    for (const auto& unwanted : expected.not_said)
      if (Contains(run.out, unwanted) || Contains(run.err, unwanted)) faults.push_back("said '" + unwanted + "'");
    if (!std::filesystem::exists(Work("vek.log"))) faults.push_back("no vek.log");
    if (!expected.logged.empty() && !Contains(ReadFile(Work("vek.log")), expected.logged))
      faults.push_back("'" + expected.logged + "' not logged");
  }

  // Nothing has the module's ports or vek.log open once vek-cli has ended. A module
  // that drops a port during the look may see its pseudo-terminal's number taken by
  // another cell's module: the look counts only when the ports stayed as they were.
  void CheckReleased(std::vector<std::string>& faults) {
    std::vector<Holder> holders;
    for (int look = 0; look < 10; ++look) {
      const uint64_t changes = module_->port_changes();
      std::vector<std::string> paths{Work("vek.log")};
      for (auto role : {sim::SimPortRole::kDiagnostics, sim::SimPortRole::kAt, sim::SimPortRole::kNmea})
        paths.push_back(module_->DevicePath(role));
      holders = HoldersOf(paths);
      if (module_->port_changes() == changes) break;
    }
    for (const Holder& holder : holders)
      faults.push_back((holder.path.ends_with("vek.log") ? "vek.log still open: " : "a port is still held: ") +
                       Describe(holder, name_));
  }

  // The previous backup or a whole new one, nothing in between and no stray files.
  // A whole new one holds the records of a clean job's backup, in order, up to
  // its last; only items the module failed to deliver may be missing. When a new
  // one took the name, the previous one is in nv-history/, whole; otherwise
  // nothing was moved there.
  void CheckBackup(std::vector<std::string>& faults) {
    const std::string backup = ReadFile(Work("backup.nvb"));
    if (backup != previous_ && !shared_.full_backup.empty() && !WholeBackup(backup))
      faults.push_back("backup.nvb is neither the previous nor a whole new one (" + std::to_string(backup.size()) +
                       " bytes)");
    const auto kept = vek::KeptCopies(Work(""), "backup.nvb");
    if (backup == previous_ && !kept.empty()) faults.push_back("the previous backup moved, yet no new one replaced it");
    if (backup != previous_ && (kept.size() != 1 || ReadFile(Work("nv-history/" + kept[0])) != previous_))
      faults.push_back("the previous backup is not in nv-history/ (" + std::to_string(kept.size()) + " kept)");
    for (const auto& entry : std::filesystem::directory_iterator(Work(""))) {
      const std::string name = entry.path().filename();
      const bool known = name == "vek.log" || name == "backup.nvb" || name == "config.ini" ||
                         (name == vek::kNvHistoryFolder && entry.is_directory()) ||
                         (name == vek::kNvPendingFolder && entry.is_directory()) || IsIdentityCopy(entry.path());
      if (!known) faults.push_back("stray file " + name);
    }
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(Work(vek::kNvHistoryFolder), error)) {
      const std::string name = entry.path().filename();
      if (std::find(kept.begin(), kept.end(), name) == kept.end())
        faults.push_back(std::string("stray file ") + vek::kNvHistoryFolder + "/" + name);
    }
  }

  static bool IsIdentityCopy(const std::filesystem::path& path) {
    return path.extension() == ".nvb" && path.stem().string().find_first_not_of("0123456789") == std::string::npos;
  }

  bool WholeBackup(const std::string& backup) const {
    constexpr size_t kRecord = 131;
    const std::string& full = shared_.full_backup;
    if (backup.empty() || backup.size() % kRecord != 0) return false;
    size_t at = 0;
    for (size_t i = 0; i < backup.size(); i += kRecord) {
      const std::string_view record(backup.data() + i, kRecord);
      while (at < full.size() && std::string_view(full.data() + at, kRecord) != record) at += kRecord;
      if (at >= full.size()) return false;  // a record no clean job writes, or out of order
      at += kRecord;
    }
    return backup.compare(backup.size() - kRecord, kRecord, full, full.size() - kRecord, kRecord) == 0;
  }

  // Every NV write carries data the module held before the job.
  void CheckNvWrites(const std::vector<std::vector<sim::NvBytes>>& before, std::vector<std::string>& faults) {
    int foreign = 0, first = -1;
    for (const auto& write : module_->device().nv.Writes()) {
      const auto& elements = before.at(write.item);
      if (std::find(elements.begin(), elements.end(), write.data) == elements.end()) {
        if (first < 0) first = write.item;
        ++foreign;
      }
    }
    if (foreign > 0)
      faults.push_back(std::to_string(foreign) + " NV writes of data the module never held (first item " +
                       std::to_string(first) + ")");
  }

  // With the cable back, a module left in the boot loader or the programmer is
  // taken from there by the next run.
  std::string PickUpWhereItStands(std::vector<std::string>& faults) {
    module_->faults().Clear();
    const bool pulled = module_->cable_pulled();
    if (pulled) module_->PlugCable();
    // Let a reset or a re-enumeration under way finish.
    for (int i = 0; i < 50 && (module_->cable_pulled() || Unsettled()); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const SimState state = module_->state();
    if (state == SimState::kFirmware) return pulled ? "; replugged" : "";
    const vektest::CliRun second = Cli({"--product", "ZX2180"});
    if (second.exit_status != 0) {
      faults.push_back(std::string("the next run from the ") + sim::SimStateName(state) + " ended with exit " +
                       std::to_string(second.exit_status) + " (" + OneLine(second.out + second.err) + ")");
      return "";
    }
    return std::string("; next run from the ") + sim::SimStateName(state) + ": exit 0";
  }

  bool Unsettled() {
    // Ports missing from the map: the module is between two lives.
    for (auto role : {sim::SimPortRole::kDiagnostics, sim::SimPortRole::kAt, sim::SimPortRole::kNmea})
      if (module_->DevicePath(role).empty()) return true;
    return false;
  }

  const Shared& shared_;
  const Request& request_;
  std::optional<Fault> fault_;
  const std::string name_;  // the cell: "request / fault"
  const std::string previous_ = PreviousBackup();
  vektest::TempDir dir_;
  std::unique_ptr<sim::SimModule> module_;
};

std::string MatrixPath() { return std::string(vektest::BinaryDir()) + "/artifacts/fault-matrix.md"; }

TEST(FaultMatrix, EveryRequestMeetsEveryFaultAndTheJobHolds) {
  const auto started = std::chrono::steady_clock::now();
  vektest::TempDir images_dir;
  Shared shared;
  shared.images = images_dir.File("images");
  ASSERT_TRUE(sim::WriteImageFolder(shared.images, vek::PLATFORM_6280, 16 * 1024, 16 * 1024));

  // A clean job first: it must succeed, and its backup is the one a whole backup equals.
  const Request clean{"(no fault)"};
  CellRun clean_run(shared, clean, std::nullopt);
  const CellResult clean_result = clean_run.Run();
  ASSERT_TRUE(clean_result.held) << clean_result.outcome;
  shared.full_backup = clean_run.Backup();
  ASSERT_FALSE(shared.full_backup.empty());
  ASSERT_EQ(shared.full_backup.size() % 131, 0u);

  const auto& requests = faultmatrix::Requests();
  const auto& faults = faultmatrix::Faults();
  struct Cell {
    size_t row, column;
  };
  std::vector<Cell> cells;
  std::vector<std::vector<CellResult>> results(requests.size(), std::vector<CellResult>(faults.size()));
  for (size_t r = 0; r < requests.size(); ++r)
    for (size_t c = 0; c < faults.size(); ++c) {
      if (faultmatrix::Meaningful(requests[r], faults[c])) cells.push_back({r, c});
      else results[r][c] = {true, "n/a"};
    }
  const char* only = getenv("VEK_FAULT_MATRIX_ONLY");  // a row name, to rerun one row while looking into it
  if (only != nullptr) std::erase_if(cells, [&](const Cell& cell) { return requests[cell.row].name != std::string(only); });

  std::atomic<size_t> next{0};
  std::vector<std::jthread> workers;
  for (int w = 0; w < faultmatrix::kParallelCells; ++w)
    workers.emplace_back([&] {
      for (size_t i; (i = next++) < cells.size();) {
        const Cell cell = cells[i];
        results[cell.row][cell.column] = CellRun(shared, requests[cell.row], faults[cell.column]).Run();
      }
    });
  workers.clear();

  int held = 0, failed = 0;
  std::ostringstream table;
  table << "## Fault matrix\n\nvek-cli against the simulated module (VEK_TIME_SCALE=" << faultmatrix::kCliTimeScale
        << "); one fault per cell.\n"
        << "Without a fault: " << clean_result.outcome << "\n\n| request |";
  for (const auto& fault : faults) table << " " << fault.name << " |";
  table << "\n|---|";
  for (size_t c = 0; c < faults.size(); ++c) table << "---|";
  table << "\n";
  for (size_t r = 0; r < requests.size(); ++r) {
    table << "| " << requests[r].name << " |";
    for (size_t c = 0; c < faults.size(); ++c) {
      const CellResult& result = results[r][c];
      if (result.outcome != "n/a" && !result.outcome.empty()) (result.held ? held : failed)++;
      std::string text = result.outcome.empty() ? "not run" : result.outcome;
      std::replace(text.begin(), text.end(), '|', '/');
      table << " " << text << " |";
      EXPECT_TRUE(result.held || result.outcome.empty()) << requests[r].name << " / " << faults[c].name << ": "
                                                         << result.outcome;
    }
    table << "\n";
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  table << "\nCells: " << held << " held, " << failed << " failed; " << static_cast<int>(seconds) << " s.\n";
  std::filesystem::create_directories(std::filesystem::path(MatrixPath()).parent_path());
  WriteFile(MatrixPath(), table.str());
  std::cout << table.str();
  EXPECT_EQ(failed, 0);
}

}  // namespace
