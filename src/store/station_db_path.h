// Where the station's database is, apart from the database's own code: a front
// end that only passes the path on (vek-factory) links no SQLite for it.
#pragma once

#include <string>

namespace vek {

// $XDG_DATA_HOME/vek/station.db, else ~/.local/share/vek/station.db; empty when
// neither names an absolute folder.
std::string DefaultStationDbPath();

// The database a front end's choice names: `option` (--station-db FILE), else
// VEK_STATION_DB, else the default; empty when `disabled` (--no-station-db).
std::string StationDbPath(const std::string& option, bool disabled);

}  // namespace vek
