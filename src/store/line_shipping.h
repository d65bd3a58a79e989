// Shipping the station's rows to the line: every finished job not yet shipped,
// with its image files and the NV backups it took, one transaction a job; a
// shipped job is marked in the station's `line_shipped` table. Shipping twice
// stores once (the line keys every row by its id).
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "store/line_db.h"
#include "store/station_db.h"

namespace vek {

struct ShippingCount {
  int shipped = 0;
  int left = 0;  // not shipped (the first failure ends the round)
  // The jobs the line refused for what they hold (or whose backup no longer
  // matches its SHA-256), each "job <id> set aside, not shipped: <why>": they
  // stay at the station, in its line_set_aside table, and the round goes on.
  std::vector<std::string> set_aside;
};

// How long a job's end spends shipping a backlog before it leaves the rest.
inline constexpr std::chrono::seconds kLineShippingBudget{3};

// Ships what the station has not shipped yet, oldest first, starting no job's
// transaction after `deadline`; `reason` says why the round stopped early.
ShippingCount ShipPending(StationDb& station, LineDb& line, std::string& reason,
                          std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max());

}  // namespace vek
