#include "sim/port_map_board.h"

#include "sim/port_map_file.h"

namespace sim {

bool PortMapBoard::Report(size_t slot, std::vector<vek::PortEntry> entries) {
  std::lock_guard lock(mutex_);
  std::vector<vek::PortEntry> earlier = std::move(slots_[slot]);
  slots_[slot] = std::move(entries);
  std::vector<vek::PortEntry> all;
  for (const auto& [index, lines] : slots_) all.insert(all.end(), lines.begin(), lines.end());
  if (WritePortMapFile(path_, all)) return true;
  slots_[slot] = std::move(earlier);
  return false;
}

}  // namespace sim
