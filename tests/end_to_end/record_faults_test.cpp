// An NV backup changed under its SHA-256 and a version that is not UTF-8, through
// vek-report, its pages, the vault and shipping: a real SQLite file and PostgreSQL.
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>

#include "http_client.h"
#include "pg_cluster.h"
#include "report/report_pages.h"
#include "sha256sum_tool.h"
#include "store/line_shipping.h"
#include "store/nv_vault.h"
#include "test_paths.h"

namespace {

TEST(RecordFaults, AChangedBackupIsRefusedByEveryReaderAndOneRowTheLineRefusesNeverStopsTheOthers) {
  vektest::PgCluster cluster(50000 + getpid() % 10000);
  vektest::TempDir dir;
  const std::string path = dir.File("station.db"), imei = "356938035643809";
  std::string reason;
  auto line = vek::LineDb::Connect(cluster.Url(), reason);
  auto station = vek::StationDb::Open(path, vek::StationDb::Mode::kWrite, reason);
  const std::vector<uint8_t> kA(16, 0xA5), kB(16, 0x5A);
  const std::string sha_a = vektest::Sha256Of(kA), sha_b = vektest::Sha256Of(kB);
  const auto write = [&](int id, const std::vector<uint8_t>& backup, std::string version = "",
                         std::optional<int64_t> exit_status = {}) {  // job <id> of hour 1<id>
    const std::string at = "2026-12-10T1" + std::to_string(id) + ":00:00Z";
    const vek::StationJobRow job{.id = std::to_string(id), .started_utc = at, .station = "s", .program = "vek-cli",
                                 .vek_version = VEK_VERSION, .imei = imei, .version_after = version,
                                 .result = "succeeded", .exit_status = exit_status};
    const vek::StationNvBackup kept{vektest::Sha256Of(backup), imei, job.id, at, 1, backup};
    return vek::WriteJobRow(*station, job, reason) && (backup.empty() || vek::WriteNvBackup(*station, kept, reason));
  };
  ASSERT_TRUE(line && line->Init(reason) && write(0, kA) && vek::ShipPending(*station, *line, reason).shipped == 1)
      << reason;
  // Not shipped yet: b's backup, a version holding 0xFF, an exit status out of the line's range, a plain one.
  ASSERT_TRUE(write(1, kB) && write(2, {}, "2.0\xff\xc3\xbc") && write(3, {}, "", int64_t{1} << 40) && write(4, {}));
  const auto report = [&](const std::string& db, const std::string& sha) {
    return vektest::OutputOf(std::string(vektest::BinaryDir()) + "/cli/vek-report " + db + " nv " + imei + " --out " +
                             dir.File("kept.nvb") + " --sha " + sha + " 2>&1; echo \" exit $?\"");
  };
  const auto page = [&](std::unique_ptr<vekreport::ServedDatabase> served, const std::string& sha) {
    vekreport::ReportPages pages(*served, [](const std::string&) {});
    vekweb::HttpServer server;
    pages.Route(server);
    const std::string request = "GET /module/nv?id=" + imei + "&sha256=" + sha + " HTTP/1.0\r\n\r\n";
    const std::string reply = server.Start("127.0.0.1:0", reason) ? vektest::Peer(server.port()).Fetch(request) : "";
    return reply.substr(9, 4) + reply.substr(reply.find("\r\n\r\n") + 4);
  };
  vek::ShippingCount shipping;
  const std::vector<std::pair<std::function<std::string()>, std::string>> cases = {  // the line's a changed first
      {[&] { return report("--line-db '" + cluster.Url() + "'", sha_a); }, "vek-report: NV backup " + sha_a},
      {[&] { return page(vekreport::ServedDatabase::Line(cluster.Url()), sha_a); },
       "500 {\"error\":\"NV backup " + sha_a},
      {[&] {
         std::string trouble;  // the station's sound newest, b, is taken
         const auto found = vek::NvVault(path, cluster.Url()).Newest(imei, trouble);
         return (found && found->bytes == kB ? "b; " : "") + trouble;
       },
       "b; the line database: NV backup " + sha_a},
      {[&] { return report("--db " + path, sha_b); }, "vek-report: NV backup " + sha_b},  // then the station's
      {[&] { return page(vekreport::ServedDatabase::Station(path), sha_b); }, "500 {\"error\":\"NV backup " + sha_b},
      {[&] { return (shipping = vek::ShipPending(*station, *line, reason)).set_aside.at(0); },
       "job 1 set aside, not shipped: NV backup " + sha_b},
  };
  // Changed in place (eight bytes on the line): the databases themselves stay sound.
  cluster.Column("UPDATE nv_backups SET bytes = overlay(bytes PLACING '\\xeeeeeeeeeeeeeeee' FROM 5) RETURNING 1");
  for (size_t i = 0; i < cases.size(); ++i) {
    if (i == 3) ASSERT_TRUE(station->Exec("UPDATE nv_backups SET bytes = zeroblob(length(bytes))", reason));
    const std::string answer = cases[i].first();
    EXPECT_NE(answer.find(cases[i].second + " does not match its SHA-256: its bytes hash to "), answer.npos) << answer;
    EXPECT_TRUE(answer.find("; refused, never restored") != answer.npos && answer.find(" exit 0") == answer.npos)
        << answer;
  }
  // The version went escaped; the row the line refused is set aside, named, and the one after it went.
  EXPECT_EQ(reason + std::to_string(shipping.shipped) + std::to_string(shipping.left) + shipping.set_aside.at(1),
            "20job 3 set aside, not shipped: the line database: ERROR:  value \"1099511627776\" is out of range for "
            "type integer");
  EXPECT_EQ(cluster.Column("SELECT id || coalesce(version_after, '') FROM jobs ORDER BY id"),
            (std::vector<std::string>{"0", "22.0\\xFF\xc3\xbc", "4"}));
  EXPECT_EQ(vek::ShipPending(*station, *line, reason).set_aside.size(), 0u);  // set aside once
}

}  // namespace
