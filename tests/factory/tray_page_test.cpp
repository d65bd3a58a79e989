// The tray's page: each socket's last job as a tile, and the page's stream, one
// event per change of a tile, over a real server on a loopback socket.
#include "factory/tray_page.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "http_client.h"

namespace {

using vekfactory::Clock;
using vekfactory::ModuleRow;
using vekfactory::TrayPage;
using Json = nlohmann::json;

ModuleRow Row(const std::string& usb_path) {
  ModuleRow row;
  row.usb_path = usb_path;
  row.started = Clock::now();
  return row;
}

void End(ModuleRow& row, int status, const char* outcome) {
  row.exit_status = status;
  row.outcome = outcome;
  row.ended = Clock::now();
  row.record_written = true;
}

TEST(TrayTile, TellsEveryWayAJobStandsInOneWord) {
  struct Case {
    const char* name;
    std::function<void(ModuleRow&)> make;
    bool taken_out;
    const char* state;
  };
  const Case cases[] = {
      {"running", [](ModuleRow&) {}, false, "running"},
      {"running while its ports are away", [](ModuleRow&) {}, true, "running"},
      {"succeeded", [](ModuleRow& r) { End(r, 0, "succeeded"); }, false, "succeeded"},
      {"NV items unread", [](ModuleRow& r) { End(r, 0, "succeeded"), r.nv_unread = 3; }, false, "attention"},
      {"not recorded", [](ModuleRow& r) { End(r, 0, "succeeded"), r.record_written = false; }, false, "attention"},
      {"not shipped", [](ModuleRow& r) { End(r, 0, "succeeded"), r.shipped = false; }, false, "attention"},
      {"failed", [](ModuleRow& r) { End(r, 1, "failed"); }, false, "failed"},
      {"stopped", [](ModuleRow& r) { End(r, 1, "aborted"); }, false, "stopped"},
      {"taken out after its job", [](ModuleRow& r) { End(r, 0, "succeeded"); }, true, "taken_out"},
  };
  for (const Case& c : cases) {
    ModuleRow row = Row("3-1.1");
    c.make(row);
    EXPECT_EQ(TrayPage::Tile(row, c.taken_out, Clock::now())["state"], c.state) << c.name;
  }

  ModuleRow unread = Row("3-1.3");
  End(unread, 0, "succeeded");
  unread.nv_unread = 1, unread.shipped = false;
  EXPECT_EQ(TrayPage::Tile(unread, false, Clock::now())["attention"],
            nlohmann::ordered_json::parse(R"(["1 NV item not backed up", "not shipped"])"));
  vekfactory::ApplyEvent(unread, Json::parse(R"({"type":"result","attention":"version_unconfirmed"})"));
  EXPECT_EQ(Json::parse(vekfactory::ReportLine(unread))["attention"], "version_unconfirmed");
  EXPECT_EQ(TrayPage::Tile(unread, false, Clock::now())["attention"][0], "new version not confirmed");
}

// The stream's events so far: (name, data) in order, the keep-alive comments left out.
std::vector<std::pair<std::string, Json>> Events(const std::string& stream) {
  std::vector<std::pair<std::string, Json>> events;
  const size_t body = stream.find("\r\n\r\n");
  for (size_t at = body == std::string::npos ? 0 : body + 4, end; (end = stream.find("\n\n", at)) != std::string::npos;
       at = end + 2) {
    const std::string block = stream.substr(at, end - at);
    const size_t name = block.find("event: "), data = block.find("\ndata: ");
    if (name == std::string::npos || data == std::string::npos) continue;
    events.emplace_back(block.substr(name + 7, data - name - 7), Json::parse(block.substr(data + 7), nullptr, false));
  }
  return events;
}

TEST(TrayPageStream, APageGetsTheTrayThenOneEventPerChangeOfATile) {
  TrayPage page("/srv/images", "station-7");
  std::string reason;
  ASSERT_TRUE(page.Start("127.0.0.1:0", reason)) << reason;
  vekfactory::ModuleSockets sockets(Clock::now());
  ModuleRow a = Row("3-1.2"), b = Row("3-1.10");
  const std::map<std::string, const ModuleRow*> jobs{{a.usb_path, &a}, {b.usb_path, &b}};
  page.Update(jobs, sockets, {}, Clock::now());

  vektest::Peer stream(page.port());
  ASSERT_TRUE(stream.Talk("GET /api/events HTTP/1.0\r\n\r\n", "]}\n\n"));  // the tray; 1.0: unchunked
  auto events = Events(stream.in);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].first, "tray");
  EXPECT_EQ(events[0].second["station"], "station-7");
  ASSERT_EQ(events[0].second["tiles"].size(), 2u);
  EXPECT_EQ(events[0].second["tiles"][0]["usb_path"], "3-1.2");  // the sockets' order, not the text's

  a.percent = 40;
  page.Update(jobs, sockets, {}, Clock::now());
  page.Update(jobs, sockets, {}, Clock::now());  // only the clock moved: nothing to send
  b.step = "backup";
  page.Update(jobs, sockets, {}, Clock::now());
  End(a, 0, "succeeded");
  page.Update(jobs, sockets, {1, 0}, Clock::now());
  ASSERT_TRUE(stream.Talk("", "\"waiting\":0}\n\n"));  // through the header, the last event
  events = Events(stream.in);
  ASSERT_EQ(events.size(), 5u);
  EXPECT_EQ(events[1].first, "tile");
  EXPECT_EQ(events[1].second["percent"], 40);
  EXPECT_EQ(events[2].second["step"], "backup");
  EXPECT_EQ(events[3].second["state"], "succeeded");
  EXPECT_EQ(events[4].first, "header");
  EXPECT_EQ(events[4].second["succeeded"], 1);
  EXPECT_EQ(events[4].second["running"], 1);

  const std::string tray = vektest::Peer(page.port()).Fetch("GET /api/tray HTTP/1.0\r\n\r\n");
  const Json json = Json::parse(tray.substr(tray.find("\r\n\r\n") + 4), nullptr, false);
  ASSERT_TRUE(json.is_object()) << tray;
  EXPECT_EQ(json["tiles"][0]["state"], "succeeded");
  EXPECT_EQ(json["tiles"][1]["step"], "backup");
}

}  // namespace
