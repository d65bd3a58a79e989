// vek-factory's tray as a live page for the people at the line: one tile per
// socket, served read-only over HTTP (`--http ADDR:PORT`) with the tiles as JSON
// (/api/tray) and each change as a server-sent event (/api/events). The tiles
// are views of the rows the table shows; the server runs on a thread of its own,
// so no page and no client ever holds up a job.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "factory/factory_row.h"
#include "factory/factory_sockets.h"
#include "web/http_server.h"

namespace vekfactory {

// What the header says besides the tiles.
struct TrayTotals {
  size_t succeeded = 0, failed = 0;
};

class TrayPage {
 public:
  // `images`: the image folder every job gets; `station`: this machine's name.
  TrayPage(std::string images, std::string station);
  // Listens on `address`; false and `reason` when it cannot.
  bool Start(const std::string& address, std::string& reason);
  // The tray as it is now: the last job of each socket, and the sockets whose
  // modules wait for a job. Publishes the tiles that changed.
  void Update(const std::map<std::string, const ModuleRow*>& last_jobs, const ModuleSockets& sockets,
              const TrayTotals& totals, Clock::time_point now);
  uint16_t port() const { return server_.port(); }
  size_t pages() const { return server_.streams(); }  // pages open on the live stream

  // One socket's tile: the report line's fields and the live ones (state, step,
  // percent, elapsed, ...). `taken_out`: its module has left since its job ended.
  static nlohmann::ordered_json Tile(const ModuleRow& row, bool taken_out, Clock::time_point now);

 private:
  nlohmann::ordered_json Tray() const;  // under the lock

  const std::string images_, station_, since_;
  mutable std::mutex mutex_;
  nlohmann::ordered_json header_;
  std::map<std::string, nlohmann::ordered_json> tiles_;  // by USB path
  std::map<std::string, std::string> shown_;             // each tile as last published, without its clock
  vekweb::HttpServer server_;
};

}  // namespace vekfactory
