#include "factory/tray_page.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <ctime>

#include "events/event_schema.h"

namespace vekfactory {

// The page itself (page/tray.html), compiled in: nothing is read from disk to serve it.
extern const char kTrayPageHtml[];

namespace {

using nlohmann::ordered_json;

std::string UtcNow() {
  const std::time_t seconds = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

// Sockets in the order they sit: "3-1.2" before "3-1.10" (runs of digits compared as numbers).
bool SocketBefore(const std::string& a, const std::string& b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (std::isdigit(static_cast<unsigned char>(a[i])) && std::isdigit(static_cast<unsigned char>(b[j]))) {
      size_t ei = i, ej = j;
      while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei]))) ++ei;
      while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej]))) ++ej;
      const std::string x = a.substr(i, ei - i), y = b.substr(j, ej - j);
      const size_t zx = x.find_first_not_of('0'), zy = y.find_first_not_of('0');
      const std::string nx = zx == std::string::npos ? "" : x.substr(zx), ny = zy == std::string::npos ? "" : y.substr(zy);
      if (nx.size() != ny.size()) return nx.size() < ny.size();
      if (nx != ny) return nx < ny;
      i = ei, j = ej;
    } else {
      if (a[i] != b[j]) return a[i] < b[j];
      ++i, ++j;
    }
  }
  return a.size() - i < b.size() - j;
}

// The state in one word, as the page shows it with an icon and a colour.
const char* StateOf(const ModuleRow& row, bool taken_out) {
  if (!row.finished()) return vekevents::kRunning;
  if (taken_out) return "taken_out";
  if (row.succeeded())
    return row.nv_unread > 0 || row.record_written == false || row.shipped == false ? "attention" : vekevents::kSucceeded;
  return row.Result() == vekevents::kAborted ? "stopped" : vekevents::kFailed;
}

// What a succeeded job leaves to look at.
ordered_json AttentionOf(const ModuleRow& row) {
  ordered_json notes = ordered_json::array();
  if (row.attention == "version_unconfirmed") notes.push_back("new version not confirmed");
  if (!row.succeeded()) return notes;
  if (row.nv_unread > 0)
    notes.push_back(std::to_string(row.nv_unread) + " NV item" + (row.nv_unread == 1 ? "" : "s") + " not backed up");
  if (row.record_written == false) notes.push_back("not recorded");
  if (row.shipped == false) notes.push_back("not shipped");
  return notes;
}

std::string Event(const char* name, const ordered_json& data) {
  return std::string("event: ") + name + "\ndata: " +
         data.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n\n";
}

std::string Dump(const ordered_json& json) { return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace); }

}  // namespace

TrayPage::TrayPage(std::string images, std::string station)
    : images_(std::move(images)), station_(std::move(station)), since_(UtcNow()) {
  header_ = {{"station", station_}, {"images", images_}, {"image_set_sha256", ""}, {"since", since_},
             {"running", 0},        {"succeeded", 0},     {"failed", 0},             {"waiting", 0}};
}

ordered_json TrayPage::Tile(const ModuleRow& row, bool taken_out, Clock::time_point now) {
  // The report line's fields, as the report has them once the job has ended.
  ordered_json tile = ordered_json::parse(ReportLine(row), nullptr, false);
  if (!tile.is_object()) tile = ordered_json::object();
  tile.erase("folder");  // the station's own paths are no business of the page's
  if (!row.finished()) {
    for (const char* pending : {"time", "result", "exit_status", "duration"}) tile[pending] = nullptr;
    tile["text"] = row.status;
  }
  tile["state"] = StateOf(row, taken_out);
  tile["step"] = row.step;
  tile["image"] = row.step == "image" ? row.image : "";
  tile["percent"] = row.percent >= 0 ? ordered_json(std::min(row.percent, 100)) : ordered_json(nullptr);
  tile["elapsed"] = std::max(0.0, std::round(row.seconds(now) * 10.0) / 10.0);
  tile["status"] = row.status;
  tile["failed_step"] = row.finished() && !row.succeeded() ? row.failed_step : "";
  tile["failed_reason"] = row.finished() && !row.succeeded() ? row.failed_reason : "";
  tile["not_recorded"] = row.record_written == false;
  tile["not_shipped"] = row.shipped == false;
  tile["attention"] = AttentionOf(row);
  return tile;
}

bool TrayPage::Start(const std::string& address, std::string& reason) {
  server_.Route("/", [](const vekweb::Request&) {
    return vekweb::Reply{200, "text/html; charset=utf-8", kTrayPageHtml, true};
  });
  server_.Route("/api/tray", [this](const vekweb::Request&) {
    std::lock_guard lock(mutex_);
    return vekweb::Reply{200, "application/json", Dump(Tray())};
  });
  server_.Route("/healthz", [](const vekweb::Request&) { return vekweb::Reply{200, "text/plain", "ok\n"}; });
  server_.EventStream("/api/events", [this] {
    std::lock_guard lock(mutex_);
    return Event("tray", Tray());
  });
  return server_.Start(address, reason);
}

ordered_json TrayPage::Tray() const {
  ordered_json tray = header_;
  std::vector<std::string> sockets;
  for (const auto& [usb_path, tile] : tiles_) sockets.push_back(usb_path);
  std::sort(sockets.begin(), sockets.end(), SocketBefore);
  tray["tiles"] = ordered_json::array();
  for (const std::string& usb_path : sockets) tray["tiles"].push_back(tiles_.at(usb_path));
  return tray;
}

void TrayPage::Update(const std::map<std::string, const ModuleRow*>& last_jobs, const ModuleSockets& sockets,
                      const TrayTotals& totals, Clock::time_point now) {
  std::vector<std::pair<const char*, std::string>> events;
  std::unique_lock lock(mutex_);
  size_t running = 0;
  std::string image_set;
  std::map<std::string, ordered_json> tiles;
  for (const auto& [usb_path, row] : last_jobs) {
    if (!row->finished()) ++running;
    if (!row->image_set_sha256.empty()) image_set = row->image_set_sha256;
    tiles[usb_path] = Tile(*row, sockets.TakenOut(usb_path, now), now);
  }
  for (const std::string& usb_path : sockets.due()) {
    ModuleRow waiting;
    waiting.usb_path = usb_path;
    waiting.started = now;
    ordered_json tile = Tile(waiting, false, now);
    tile["state"] = "waiting";
    tile["text"] = tile["status"] = "waiting for a job";
    tiles[usb_path] = std::move(tile);
  }
  for (auto& [usb_path, tile] : tiles) {
    ordered_json still = tile;
    still.erase("elapsed");  // the page counts the seconds itself
    std::string shown = Dump(still);
    if (shown_[usb_path] != shown) {
      events.emplace_back("tile", Dump(tile));
      shown_[usb_path] = std::move(shown);
    }
    tiles_[usb_path] = std::move(tile);
  }
  ordered_json header = header_;
  header["image_set_sha256"] = image_set.empty() ? header_["image_set_sha256"] : ordered_json(image_set);
  header["running"] = running;
  header["succeeded"] = totals.succeeded;
  header["failed"] = totals.failed;
  header["waiting"] = sockets.due().size();
  if (header != header_) {
    header_ = header;
    events.emplace_back("header", Dump(header_));
  }
  // Published outside the lock: a new page's first event is made under it, on the server's thread.
  lock.unlock();
  for (const auto& [name, data] : events) server_.Publish(name, data);
}

}  // namespace vekfactory
