// vek-factory's view of its jobs. On a terminal: a live table, one row per job,
// redrawn in place (the whole frame in one write, cursor hidden, every line cut
// to the terminal's width, so nothing wraps or flickers). Otherwise: one plain
// line per change of a job (its status text, each tenth of its progress, its end).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "factory/factory_row.h"

namespace vekfactory {

class StatusTable {
 public:
  StatusTable(FILE* out, bool live);
  ~StatusTable();
  StatusTable(const StatusTable&) = delete;
  StatusTable& operator=(const StatusTable&) = delete;

  // Shows the rows (in the order jobs started).
  void Show(const std::vector<const ModuleRow*>& rows, Clock::time_point now);
  // Plain lines only: what the row at `index` says now, if it changed.
  void Changed(size_t index, const ModuleRow& row, Clock::time_point now);
  bool live() const { return live_; }
  // A line of vek-factory's own, above the table.
  void Say(const std::string& text);

  // One row as the table shows it (before it is cut to the width).
  static std::string RowText(const ModuleRow& row, Clock::time_point now);
  static std::string HeaderText();

 private:
  void Redraw(const std::vector<const ModuleRow*>& rows, Clock::time_point now);
  size_t Width() const;

  FILE* out_;
  bool live_;
  size_t drawn_lines_ = 0;               // lines of the last frame, to go back over
  std::vector<std::string> last_said_;   // plain lines: what each row said last
};

}  // namespace vekfactory
