// vek-report serve: the pages over the station's database or the line's, until
// SIGINT or SIGTERM. Its log lines go to standard error (the journal, as a unit).
#pragma once

#include <string>

namespace vekreport {

// The address the pages are served on when --http names none: this machine only.
inline constexpr char kDefaultServeAddress[] = "127.0.0.1:8751";

// `station_db` the station's database file, or `line_db` the line's connection
// string; an exit status (events/exit_status.h).
int Serve(const std::string& station_db, const std::string& line_db, const std::string& address);

}  // namespace vekreport
