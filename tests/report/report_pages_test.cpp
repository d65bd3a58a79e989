// vek-report serve's answers that a browser does not show: the periods a page
// may name, and what it does with a request it cannot take, over a real SQLite
// file and a real server on a loopback port.
#include <gtest/gtest.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "http_client.h"
#include "report/overview.h"
#include "report/report_pages.h"
#include "store/station_db.h"
#include "store/station_rows.h"
#include "test_support.h"

namespace {

using namespace std::chrono;

TEST(ReportPeriod, NamesWholeUtcDaysAndRefusesWhatCannotBeOne) {
  const auto now = sys_days{2026y / 12 / 9} + hours(13);
  struct Case {
    std::map<std::string, std::string> query;
    const char* from;  // nullptr: refused
    const char* to;
  };
  const Case cases[] = {
      {{}, "2026-12-03T00:00:00Z", "2026-12-10T00:00:00Z"},
      {{{"period", "today"}}, "2026-12-09T00:00:00Z", "2026-12-10T00:00:00Z"},
      {{{"period", "30d"}}, "2026-11-10T00:00:00Z", "2026-12-10T00:00:00Z"},
      {{{"period", "range"}, {"from", "2024-02-28"}, {"to", "2024-03-01"}}, "2024-02-28T00:00:00Z",
       "2024-03-02T00:00:00Z"},
      {{{"from", "2025-12-09"}, {"to", "2026-12-08"}}, "2025-12-09T00:00:00Z", "2026-12-09T00:00:00Z"},
      {{{"period", "range"}, {"from", "2025-12-08"}, {"to", "2026-12-09"}}, nullptr, nullptr},  // over a year
      {{{"period", "range"}, {"from", "2026-12-09"}, {"to", "2026-12-08"}}, nullptr, nullptr},
      {{{"period", "range"}, {"from", "2026-02-30"}, {"to", "2026-03-01"}}, nullptr, nullptr},
      {{{"period", "range"}, {"from", "2026-02-01T00:00:00Z"}, {"to", "2026-03-01"}}, nullptr, nullptr},
      {{{"period", "range"}, {"from", "2026-02-01"}}, nullptr, nullptr},
      {{{"period", "1y"}}, nullptr, nullptr},
  };
  for (const Case& c : cases) {
    std::string why;
    const auto period = vekreport::PeriodOf(c.query, now, why);
    const std::string named = nlohmann::json(c.query).dump();
    ASSERT_EQ(period.has_value(), c.from != nullptr) << named << ": " << why;
    if (!period) {
      EXPECT_FALSE(why.empty()) << named;
      continue;
    }
    EXPECT_EQ(period->from, c.from) << named;
    EXPECT_EQ(period->to, c.to) << named;
  }
}

struct Answer {
  int status = 0;
  std::string headers, body;
};

Answer Get(uint16_t port, const std::string& target) {
  vektest::Peer peer(port);
  const std::string reply = peer.Fetch("GET " + target + " HTTP/1.0\r\n\r\n");
  Answer answer;
  const size_t end = reply.find("\r\n\r\n");
  if (reply.size() < 12 || end == std::string::npos) return answer;
  answer.status = std::atoi(reply.substr(9, 3).c_str());
  answer.headers = reply.substr(0, end);
  answer.body = reply.substr(end + 4);
  return answer;
}

// The SHA-256 of the backup's bytes, 00 7E FF: the pages serve only bytes that match it.
const std::string kSha = "fe92d8b13428ebd4d0e9d61080b59de5fd7668f97711960b4b9fcc293c4577f2";

TEST(ReportPages, AnswersWhatTheyCannotTakeWithTheReasonAndServeABackupByteForByte) {
  vektest::TempDir dir;
  const std::string path = dir.File("station.db");
  std::string reason;
  {
    auto db = vek::StationDb::Open(path, vek::StationDb::Mode::kWrite, reason);
    ASSERT_TRUE(db) << reason;
    vek::StationJobRow row;
    row.id = "job-1";
    row.started_utc = vek::UtcText(system_clock::now());
    row.station = "station-a";
    row.program = "vek-cli";
    row.vek_version = VEK_VERSION;
    row.imei = "356938035643809";
    row.result = "succeeded";
    ASSERT_TRUE(vek::WriteJobRow(*db, row, reason)) << reason;
    ASSERT_TRUE(vek::WriteNvBackup(*db, {kSha, row.imei, row.id, row.started_utc, 2, {0x00, 0x7E, 0xFF}},
                                   reason));
  }
  auto served = vekreport::ServedDatabase::Station(path);
  std::vector<std::string> said;
  vekreport::ReportPages pages(*served, [&](const std::string& line) { said.push_back(line); });
  vekweb::HttpServer server;
  pages.Route(server);
  ASSERT_TRUE(server.Start("127.0.0.1:0", reason)) << reason;

  struct Case {
    std::string target;
    int status;
    const char* says;  // in the body
  };
  const std::string sha = kSha;
  const Case cases[] = {
      {"/jobs?format=json&module=1%27%3BDROP%20TABLE%20jobs", 400, "module: an IMEI"},
      {"/jobs?format=json&image_set=abc", 400, "image_set: the set's SHA-256"},
      {"/jobs?format=json&since=2026-02-30", 400, "since: a day"},
      {"/jobs?format=json&failed=yes", 400, "failed: 1"},
      {"/jobs?format=json&page=0", 400, "page: 1, 2"},
      {"/jobs?format=json&per=10001", 400, "per: the rows of a page"},
      {"/jobs?format=json&station=" + std::string(300, 's'), 400, "station:"},
      {"/jobs?format=xml", 400, "format: html, json or csv"},
      {"/?format=csv", 400, "format: html or json"},
      {"/module?format=json", 400, "id: the module's IMEI"},
      {"/module?format=json&id=356938035643809&table=x", 400, "table: jobs or backups"},
      {"/image-set?format=json&sha256=xyz", 400, "sha256: the set's SHA-256"},
      {"/module/nv?id=356938035643809&sha256=" + std::string(64, 'b'), 404, "no such NV backup"},
      {"/jobs?format=json&module=356938035643809&station=station-a", 200, "\"id\":\"job-1\""},
      {"/jobs?format=json&station=station-b", 200, "[]"},
      {"/module?format=json&id=356938035643809", 200, "\"first_of_module\":true"},
      {"/jobs", 200, "<title>VEK record</title>"},
      {"/nowhere", 404, "not found"},
  };
  for (const Case& c : cases) {
    const Answer answer = Get(server.port(), c.target);
    EXPECT_EQ(answer.status, c.status) << c.target;
    EXPECT_NE(answer.body.find(c.says), std::string::npos) << c.target << ": " << answer.body;
  }
  const Answer file = Get(server.port(), "/module/nv?id=356938035643809&sha256=" + sha);
  EXPECT_EQ(file.body, std::string("\x00\x7E\xFF", 3));
  EXPECT_NE(file.headers.find("Content-Disposition: attachment; filename=\"backup.nvb\""), std::string::npos);
  EXPECT_TRUE(said.empty());

  // A database gone is a plain answer and one log line, and read again once back.
  std::filesystem::rename(path, path + ".away");
  for (int i = 0; i < 2; ++i) EXPECT_EQ(Get(server.port(), "/?format=json").status, 503);
  std::filesystem::rename(path + ".away", path);
  EXPECT_EQ(Get(server.port(), "/?format=json").status, 200);
  ASSERT_EQ(said.size(), 2u);
  EXPECT_TRUE(said[0].starts_with("cannot read " + path + ": ")) << said[0];
  EXPECT_EQ(said[1], "the database answers again: " + path);
}

}  // namespace
