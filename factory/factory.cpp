#include "factory/factory.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "device/session.h"
#include "events/exit_status.h"
#include "factory/factory_journal.h"

namespace vekfactory {
namespace {

// How often the present modules are looked at, and the live table redrawn.
constexpr int kLookMs = 200;
constexpr auto kRedrawEvery = std::chrono::milliseconds(250);
// The page gathers a job's events this long before it publishes them: a page in
// the browser changes within a fraction of a second, and a job's stream of
// progress events costs the tray a few tile updates a second, not hundreds.
// Each update wakes every open page's stream (a few microseconds each), so with
// many pages open it gathers longer: the cost stays about that of ten pages,
// however many are open, and a page still changes within a second.
constexpr auto kPageEvery = std::chrono::milliseconds(50);
constexpr size_t kPagesAtFullPace = 10;
constexpr auto kPageEveryAtMost = std::chrono::milliseconds(1000);

Clock::duration PageEvery(size_t open_pages) {
  if (open_pages <= kPagesAtFullPace) return kPageEvery;
  return std::min<Clock::duration>(kPageEvery * open_pages / kPagesAtFullPace, kPageEveryAtMost);
}
// A vek-cli whose module went before it connected gives up after this long.
constexpr const char* kConnectSeconds = "120";
// The options every module's job reads, copied from the working folder.
constexpr const char* kSharedFiles[] = {"config.ini", "vek.cfg"};

std::vector<std::string> UsbPathsOf(const vek::PresentModules& present) {
  std::vector<std::string> paths;
  for (const vek::PresentModule& module : present.modules) paths.push_back(module.usb_path);
  return paths;
}

// The one database every job of the tray writes, named as each job's folder would not.
std::string StationDbOf(const FactoryOptions& options, const std::string& workdir) {
  const std::string path = vek::Session::StationDbPath(options.station_db, options.no_station_db);
  if (path.empty() || path.front() == '/') return path;
  return (std::filesystem::path(workdir) / path).lexically_normal().string();
}

}  // namespace

Factory::Factory(const FactoryOptions& options, std::string vek_cli, std::string workdir)
    : options_(options),
      vek_cli_(std::move(vek_cli)),
      workdir_(std::move(workdir)),
      station_db_(StationDbOf(options, workdir_)),
      sockets_(Clock::now()),
      table_(stdout, isatty(STDOUT_FILENO) == 1),
      journal_(JournalWanted(options.journal)),
      last_job_end_(Clock::now()) {}

std::vector<std::string> Factory::JobArguments(const std::string& usb_path) const {
  std::vector<std::string> args{"--module", usb_path, "--events", "fd:3", "--timeout", kConnectSeconds};
  if (!options_.port_map.empty()) args.insert(args.end(), {"--port-map", options_.port_map});
  args.insert(args.end(), {"--images", options_.images.empty() ? workdir_ : options_.images});
  if (!options_.product.empty()) args.insert(args.end(), {"--product", options_.product});
  if (options_.restore_default) args.push_back("--restore-default");
  if (options_.erase_on_mismatch) args.push_back("--erase-on-mismatch");
  if (options_.restore_from_vault) args.push_back("--restore-from-vault");
  if (!options_.nv_window.empty()) args.insert(args.end(), {"--nv-window", options_.nv_window});
  if (station_db_.empty()) args.push_back("--no-station-db");
  else args.insert(args.end(), {"--station-db", station_db_});
  return args;
}

void Factory::StartJob(const std::string& usb_path) {
  ++started_;
  page_stale_ = true;
  ModuleRow row;
  row.usb_path = usb_path;
  row.folder = workdir_ + "/" + usb_path;  // a USB path is digits, '-' and '.' only
  std::error_code error;
  std::filesystem::create_directories(row.folder, error);
  for (const char* name : kSharedFiles) {
    const std::filesystem::path shared = workdir_ + "/" + name, copy = row.folder + "/" + name;
    std::error_code ignored;
    if (std::filesystem::is_regular_file(shared, ignored))
      std::filesystem::copy_file(shared, copy, std::filesystem::copy_options::overwrite_existing, error);
    else
      std::filesystem::remove(copy, ignored);  // every module gets the same options: here, none
  }
  std::string why;
  std::unique_ptr<FactoryJob> job;
  if (!error) job = FactoryJob::Start(vek_cli_, JobArguments(usb_path), row, why);
  else why = "cannot prepare " + row.folder + ": " + error.message();
  if (job) {
    // Plain lines show every status text, not only those the view happens to see.
    const size_t index = rows_.size();
    if (!table_.live()) job->OnEvent([this, index](const ModuleRow& row) { table_.Changed(index, row, Clock::now()); });
    rows_.push_back(&job->row());
    last_jobs_[usb_path] = &job->row();
    jobs_.push_back(std::move(job));
    return;
  }
  row.status = why;
  row.started = row.ended = Clock::now();
  row.ended_utc = std::chrono::system_clock::now();
  row.exit_status = vekevents::kExitNotStarted;
  ++finished_;
  ++failed_;
  if (report_) report_->Append(ReportLine(row));
  Journal(row);
  sockets_.JobEnded(usb_path, false, Clock::now());
  unstarted_.push_back(row);
  rows_.push_back(&unstarted_.back());
  last_jobs_[usb_path] = &unstarted_.back();
}

void Factory::FinishJob(FactoryJob& job) {
  const ModuleRow& row = job.row();
  ++finished_;
  if (!row.succeeded()) ++failed_;
  last_job_end_ = Clock::now();
  sockets_.JobEnded(row.usb_path, row.normal_reset_sent, last_job_end_);
  if (report_ && !report_->Append(ReportLine(row)))
    table_.Say("vek-factory: the report line of " + row.usb_path + " could not be written to " + options_.report);
  Journal(row);
}

// Said on the table and, when jobs go to the journal, there too.
void Factory::Notice(const std::string& text) {
  table_.Say("vek-factory: " + text);
  if (journal_) SendJournalEntry({"MESSAGE=" + text, "PRIORITY=4", "SYSLOG_IDENTIFIER=vek-factory"});
}

void Factory::ServePage() {
  if (options_.http.empty()) return;
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) std::strcpy(host, "unknown");
  page_ = std::make_unique<TrayPage>(options_.images.empty() ? workdir_ : options_.images, host);
  std::string reason;
  if (page_->Start(options_.http, reason)) {
    table_.Say("vek-factory: the tray's page is at http://" + options_.http + "/");
    return;
  }
  page_.reset();  // the jobs go on without it
  Notice("tray page not served: " + reason);
}

bool Factory::ShowOnPage(Clock::time_point now, bool changed) {
  if (!page_) return true;
  // Nothing new from the jobs: the sockets (a module waiting, one taken out) are looked at each second.
  if (!changed && !page_stale_ && now - last_on_page_ < std::chrono::seconds(1)) return true;
  if (!changed && now - last_on_page_ < PageEvery(page_->pages())) return false;
  last_on_page_ = now;
  page_stale_ = false;
  page_->Update(last_jobs_, sockets_, {finished_ - failed_, failed_}, now);
  return true;
}

void Factory::Journal(const ModuleRow& row) {
  if (!journal_) return;
  const std::string why = SendJournalEntry(JournalFields(row));
  if (why.empty() || journal_failed_) return;
  journal_failed_ = true;  // once: a journal that is not there stays away
  table_.Say("vek-factory: the journal entry of " + row.usb_path + " could not be written (" + why +
             "); the report and the station database keep the jobs");
}

void Factory::LookAtModules(Clock::time_point now) {
  const vek::PresentModules present = vek::ListPresentModules();
  sockets_.Update(UsbPathsOf(present), now);
  // Said once each time their number changes, so the operator knows why they wait.
  if (present.without_usb_path != unplaced_told_ && present.without_usb_path > 0)
    table_.Say("vek-factory: " + std::to_string(present.without_usb_path) +
               " diagnostic port(s) without a USB path are left alone: their modules cannot be told apart "
               "(a port map needs the third field, USB_PATH)");
  unplaced_told_ = present.without_usb_path;
}

size_t Factory::Running() const {
  return static_cast<size_t>(std::count_if(jobs_.begin(), jobs_.end(), [](const auto& job) { return !job->row().finished(); }));
}

void Factory::OnSignal(int signal) {
  ++signals_;
  const char* name = signal == SIGTERM ? "SIGTERM" : "SIGINT";
  if (signals_ == 1) {
    sockets_.DropDue();
    table_.Say(std::string("vek-factory: ") + name + ": no new jobs; " + std::to_string(Running()) +
               " running job(s) finish (send it again to stop them)");
    return;
  }
  table_.Say(std::string("vek-factory: ") + name + ": stopping " + std::to_string(Running()) + " running job(s)");
  for (const auto& job : jobs_) job->Signal(SIGINT);  // a second one ends each at once
}

bool Factory::Ended(Clock::time_point now) const {
  const size_t running = Running();
  if (running > 0) return false;
  if (signals_ > 0) return true;
  if (options_.count && finished_ >= *options_.count) return true;
  if (options_.timeout_seconds && sockets_.due_count() == 0) {
    const auto quiet_since = std::max(sockets_.last_appearance(), last_job_end_);
    return now - quiet_since >= std::chrono::duration<double>(*options_.timeout_seconds);
  }
  return false;
}

void Factory::Show(Clock::time_point now, bool always) {
  if (!always && now - last_shown_ < kRedrawEvery) return;
  last_shown_ = now;
  table_.Show(rows_, now);
}

int Factory::Run(int signal_fd) {
  if (!options_.report.empty()) {
    std::string error;
    bool repaired = false;
    report_ = ReportFile::Open(options_.report, error, repaired);
    if (!report_) {
      std::fprintf(stderr, "vek-factory: %s\n", error.c_str());
      return vekevents::kExitUsage;
    }
    if (repaired) table_.Say("vek-factory: the report's last line was cut short (a crash?): it was removed");
  }
  ServePage();
  for (;;) {
    Clock::time_point now = Clock::now();
    if (signals_ == 0) LookAtModules(now);
    while (signals_ == 0 && Running() < options_.jobs.value_or(kMostJobs) &&
           (!options_.count || started_ < *options_.count)) {
      const std::optional<std::string> due = sockets_.TakeDue();
      if (!due) break;
      StartJob(*due);
    }
    bool changed = false;
    for (const auto& job : jobs_) {
      if (job->row().finished()) continue;
      if (job->ReadEvents()) page_stale_ = true;
      if (job->Reap()) {
        FinishJob(*job);
        changed = true;
      }
    }
    Show(now, changed);
    const bool page_current = ShowOnPage(now, changed);
    if (Ended(now)) break;

    std::vector<pollfd> fds{{signal_fd, POLLIN, 0}};
    for (const auto& job : jobs_)
      if (job->events_fd() >= 0) fds.push_back({job->events_fd(), POLLIN, 0});
    const int wait_ms = page_current ? kLookMs : static_cast<int>(kPageEvery / std::chrono::milliseconds(1));
    // (a page that gathers longer is looked at again every kPageEvery until its time is up)
    if (poll(fds.data(), fds.size(), wait_ms) > 0 && (fds[0].revents & POLLIN)) {
      signalfd_siginfo info{};
      while (read(signal_fd, &info, sizeof info) == sizeof info) OnSignal(static_cast<int>(info.ssi_signo));
    }
  }
  Show(Clock::now(), true);
  ShowOnPage(Clock::now(), true);
  std::printf("vek-factory: %zu job(s): %zu succeeded, %zu failed%s%s\n", finished_, finished_ - failed_, failed_,
              report_ ? "; report in " : "", report_ ? options_.report.c_str() : "");
  if (failed_ > 0) return vekevents::kExitFailed;
  return finished_ == 0 ? vekevents::kExitNoJob : vekevents::kExitSucceeded;
}

}  // namespace vekfactory
