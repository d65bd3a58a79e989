#include "store/station_db_path.h"

#include <cstdlib>

namespace vek {

std::string DefaultStationDbPath() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg != nullptr && xdg[0] == '/') return std::string(xdg) + "/vek/station.db";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.local/share/vek/station.db";
  return {};
}

std::string StationDbPath(const std::string& option, bool disabled) {
  if (disabled) return {};
  if (!option.empty()) return option;
  const char* from_environment = std::getenv("VEK_STATION_DB");
  if (from_environment != nullptr && from_environment[0] != '\0') return from_environment;
  return DefaultStationDbPath();
}

}  // namespace vek
