// One vek-cli job of vek-factory: a child process in a process group of its own
// (a Ctrl-C at the terminal reaches vek-factory only), its event stream read
// through a pipe into the job's row.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "factory/factory_row.h"

namespace vekfactory {

class FactoryJob {
 public:
  // Starts `program` with `args` in `row.folder`: standard input from
  // /dev/null, standard output and error into "vek-cli.out" there, the event
  // stream on descriptor 3 (pass "--events fd:3"). Nothing, and why in
  // `error`, when it cannot be started.
  static std::unique_ptr<FactoryJob> Start(const std::string& program, const std::vector<std::string>& args,
                                           ModuleRow row, std::string& error);
  ~FactoryJob();
  FactoryJob(const FactoryJob&) = delete;
  FactoryJob& operator=(const FactoryJob&) = delete;

  // The read end of the event pipe (-1 once it reached its end), to poll.
  int events_fd() const { return events_fd_; }
  // Reads what has arrived and applies every whole line to the row.
  bool ReadEvents();  // true when anything arrived (or the stream ended)
  // True once the process has ended: the rest of its events are read and its
  // exit status is in the row (128 + the signal's number when a signal ended it).
  bool Reap();
  // Sends `signal` to the job's process group.
  void Signal(int signal) const;
  // Called after each event applied to the row (for a view that shows every change).
  void OnEvent(std::function<void(const ModuleRow&)> on_event) { on_event_ = std::move(on_event); }

  const ModuleRow& row() const { return row_; }

 private:
  FactoryJob(pid_t pid, int events_fd, ModuleRow row) : pid_(pid), events_fd_(events_fd), row_(std::move(row)) {}
  void TakeLines();

  pid_t pid_;
  int events_fd_;
  ModuleRow row_;
  std::string pending_;  // a line not yet whole
  std::function<void(const ModuleRow&)> on_event_;
};

}  // namespace vekfactory
