// One port-map file shared by the simulated modules of one process: each module
// reports its own lines, and the file is rewritten with every module's lines.
#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "link/port_source.h"

namespace sim {

class PortMapBoard {
 public:
  explicit PortMapBoard(std::string path) : path_(std::move(path)) {}
  PortMapBoard(const PortMapBoard&) = delete;
  PortMapBoard& operator=(const PortMapBoard&) = delete;

  const std::string& path() const { return path_; }

  // Replaces the lines of the module in `slot` (none: it has no ports now) and
  // rewrites the file with every module's lines, slot by slot. One writer at a
  // time, each replacing the file whole, so a reader never sees a half list and
  // no module's lines get lost to another's write. When the file cannot be
  // written the slot keeps its earlier lines and the call fails.
  bool Report(size_t slot, std::vector<vek::PortEntry> entries);

 private:
  const std::string path_;
  std::mutex mutex_;
  std::map<size_t, std::vector<vek::PortEntry>> slots_;  // guarded by mutex_
};

}  // namespace sim
