// vek-factory's run: watches for modules, starts one vek-cli per module (at most
// --jobs at once), shows them in its table, writes the report, and ends as its
// options and the operator's signals say.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "factory/factory_job.h"
#include "factory/factory_options.h"
#include "factory/factory_report.h"
#include "factory/factory_sockets.h"
#include "factory/factory_table.h"
#include "factory/tray_page.h"

namespace vekfactory {

class Factory {
 public:
  // `vek_cli`: the program each job runs; `workdir`: where the modules' folders go.
  Factory(const FactoryOptions& options, std::string vek_cli, std::string workdir);
  // Runs until the end; the exit status. `signal_fd` delivers SIGINT and SIGTERM.
  int Run(int signal_fd);

 private:
  std::vector<std::string> JobArguments(const std::string& usb_path) const;
  void StartJob(const std::string& usb_path);
  void FinishJob(FactoryJob& job);
  void Journal(const ModuleRow& row);
  void LookAtModules(Clock::time_point now);
  void OnSignal(int signal);
  bool Ended(Clock::time_point now) const;
  size_t Running() const;
  void Show(Clock::time_point now, bool always);
  void ServePage();
  // The page's tiles follow the rows; false when it waits to gather changes (`changed`: a job ended).
  bool ShowOnPage(Clock::time_point now, bool changed);
  void Notice(const std::string& text);

  const FactoryOptions& options_;
  const std::string vek_cli_;
  const std::string workdir_;
  const std::string station_db_;  // absolute: every job runs in a folder of its own; empty: none
  ModuleSockets sockets_;
  StatusTable table_;
  std::unique_ptr<ReportFile> report_;
  const bool journal_;         // each finished job in the journal too
  bool journal_failed_ = false;  // told once
  std::vector<std::unique_ptr<FactoryJob>> jobs_;  // every job of this run, in the order they started
  std::deque<ModuleRow> unstarted_;                // jobs that could not be started, as failed rows
  std::vector<const ModuleRow*> rows_;             // the table's rows: every job, in the order they started
  std::map<std::string, const ModuleRow*> last_jobs_;  // each socket's last job, as the page shows it
  std::unique_ptr<TrayPage> page_;                 // nothing without --http, or when it could not be served
  Clock::time_point last_on_page_{};
  bool page_stale_ = true;  // a job told something the page has not shown yet
  size_t started_ = 0;
  size_t finished_ = 0;
  size_t failed_ = 0;
  int signals_ = 0;
  size_t unplaced_told_ = 0;  // diagnostic ports without a USB path, as last told
  Clock::time_point last_job_end_;
  Clock::time_point last_shown_{};
};

}  // namespace vekfactory
