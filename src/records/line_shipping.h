// Shipping the station's rows to the line: every finished job not yet shipped,
// with its image files and the NV backups it took, one transaction a job; a
// shipped job is marked in the station's `line_shipped` table. Shipping twice
// stores once (the line keys every row by its id).
#pragma once

#include <string>

#include "records/line_db.h"
#include "records/station_db.h"

namespace vek {

struct ShippingCount {
  int shipped = 0;
  int left = 0;  // not shipped (the first failure ends the round)
};

// Ships what the station has not shipped yet, oldest first; `reason` says why
// the round stopped early.
ShippingCount ShipPending(StationDb& station, LineDb& line, std::string& reason);

}  // namespace vek
