// The line database against a real PostgreSQL server started for the test, fed
// by two stations' real SQLite files, and vek-report's reader of it.
#include "report/line_reader.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <unistd.h>

#include "pg_cluster.h"
#include "store/line_shipping.h"
#include "report/station_reader.h"
#include "test_support.h"

namespace {

std::vector<std::string> Names(const vekreport::JobRow& row) {
  std::vector<std::string> names;
  for (const vekreport::Cell& cell : row.columns) names.push_back(cell.name);
  return names;
}

// The row of `id` as "name=text" or "name NULL" a column: how the two databases' rows compare.
std::vector<std::string> Cells(const std::vector<vekreport::JobRow>& rows, const std::string& id) {
  std::vector<std::string> cells;
  for (const vekreport::JobRow& row : rows)
    for (const vekreport::Cell& cell : row.columns)
      if (row.Column("id") == id) cells.push_back(cell.name + (cell.null ? " NULL" : "=" + cell.text));
  return cells;
}

TEST(LineReader, ReadsEveryStationsJobsAndTheirBackupsByteForByte) {
  vektest::PgCluster cluster(40000 + getpid() % 10000);
  ASSERT_TRUE(cluster.ready());
  std::string reason;
  EXPECT_FALSE(vekreport::OpenLineForReading(cluster.Url(), reason));
  EXPECT_NE(reason.find("no schema yet"), std::string::npos) << reason;
  auto line = vek::LineDb::Connect(cluster.Url(), reason);
  ASSERT_TRUE(line && line->Init(reason) && line->Init(reason)) << reason;  // made once, then left as it is
  ASSERT_TRUE(vekreport::OpenLineForReading(cluster.Url(), reason)) << reason;

  // The same module at two stations, a day apart; bytes that text would spoil.
  const std::string imei = "356938035643809";
  const std::vector<std::vector<uint8_t>> bytes = {{0x00, '\\', '\'', 0xFF}, {0x0A, 0x00, 0x80}};
  const std::vector<std::string> sha = {vektest::Sha256Of(bytes[0]), vektest::Sha256Of(bytes[1])};
  vektest::TempDir dir;
  std::vector<std::string> station_columns;
  std::map<std::string, std::vector<std::string>> station_cells;  // of each shipped job
  for (int i = 0; i < 2; ++i) {
    auto station = vek::StationDb::Open(dir.File(std::to_string(i)), vek::StationDb::Mode::kWrite, reason);
    ASSERT_TRUE(station) << reason;
    vek::StationJobRow row;
    row.id = "job-" + std::to_string(i);
    row.started_utc = "2026-12-0" + std::to_string(8 + i) + "T10:00:00Z";
    row.station = "station-" + std::string(1, static_cast<char>('a' + i));
    row.program = "vek-cli";
    row.vek_version = VEK_VERSION;
    row.imei = imei;
    row.result = "succeeded";
    // Every kind of value a column holds, each where it belongs, besides NULLs.
    row.usb_path = "1-1." + std::to_string(i);
    row.version_after = "it's \"2.0\"";
    row.nv_records = 3 + i;
    row.exit_status = -i;
    row.duration_s = 12.5;
    row.files = {{"a.mbn", 7, "sha-a"}, {"b.mbn", 1ull << 40, "sha-b"}};
    ASSERT_TRUE(vek::WriteJobRow(*station, row, reason)) << reason;
    ASSERT_TRUE(vek::WriteNvBackup(*station, {sha[i], imei, row.id, row.started_utc, 3, bytes[i]}, reason));
    row.id += "-running";  // waits for its end
    row.result = "running";
    ASSERT_TRUE(vek::WriteJobRow(*station, row, reason)) << reason;
    ASSERT_EQ(vek::ShipPending(*station, *line, reason).shipped, 1) << reason;
    EXPECT_EQ(vek::ShipPending(*station, *line, reason).shipped, 0) << "shipped once";
    station_columns = Names(vekreport::StationReader(*station).Jobs({})[0]);
    const std::string shipped = "job-" + std::to_string(i);
    station_cells[shipped] = Cells(vekreport::StationReader(*station).Jobs({}), shipped);
    // pid and boot_id stay at the station.
    std::erase_if(station_cells[shipped], [](const std::string& cell) { return cell.starts_with("pid") || cell.starts_with("boot_id"); });
  }

  vekreport::LineReader reader(*line);
  const auto jobs = reader.Jobs({imei});
  ASSERT_EQ(jobs.size(), 2u);
  EXPECT_EQ(jobs[0].Column("station"), "station-b");  // newest first
  EXPECT_EQ(jobs[1].Column("station"), "station-a");
  // The station's columns in its order, less the process it judges running rows by.
  std::erase_if(station_columns, [](const std::string& name) { return name == "pid" || name == "boot_id"; });
  EXPECT_EQ(Names(jobs[0]), station_columns);
  for (const std::string id : {"job-0", "job-1"}) EXPECT_EQ(Cells(jobs, id), station_cells[id]);
  EXPECT_EQ(cluster.Column("SELECT string_agg(concat_ws(' ', job_id, position, name, size, sha256, station), ', ' "
                           "ORDER BY job_id, position) FROM image_files"),
            std::vector<std::string>{"job-0 0 a.mbn 7 sha-a station-a, job-0 1 b.mbn 1099511627776 sha-b station-a, "
                                     "job-1 0 a.mbn 7 sha-a station-b, job-1 1 b.mbn 1099511627776 sha-b station-b"});
  EXPECT_EQ(cluster.Column("SELECT concat_ws(' ', sha256, module, job_id, taken_utc, records, station) "
                           "FROM nv_backups ORDER BY taken_utc"),
            (std::vector<std::string>{sha[0] + " " + imei + " job-0 2026-12-08T10:00:00Z 3 station-a",
                                      sha[1] + " " + imei + " job-1 2026-12-09T10:00:00Z 3 station-b"}));
  EXPECT_EQ(reader.Jobs({"", "", "2026-12-09"}).size(), 1u);
  const auto by_station = reader.Summarise("").by_station;
  EXPECT_EQ(by_station, (std::map<std::string, int64_t>{{"station-a", 1}, {"station-b", 1}}));
  EXPECT_EQ(reader.NvBytes(imei, true, ""), bytes[0]);
  EXPECT_EQ(reader.NvBytes(imei, false, ""), bytes[1]);
  EXPECT_EQ(reader.NvBytes(imei, false, sha[0]), bytes[0]);
  EXPECT_TRUE(reader.error().empty()) << reader.error();

  // Shipped again from a copy of the rows (a station that lost its marks): stored once.
  vek::StationJobRow again;
  again.id = "job-0";
  again.started_utc = "2026-12-08T10:00:00Z";
  again.station = again.program = again.vek_version = again.result = "x";
  EXPECT_TRUE(line->Ship(again, {}, reason)) << reason;
  EXPECT_EQ(reader.Jobs({}).size(), 2u);
  // Another module's backup with the bytes of the first's: the bytes once, a backup of each.
  auto twin_station = vek::StationDb::Open(dir.File("twin"), vek::StationDb::Mode::kWrite, reason);
  vek::StationJobRow twin = again;
  twin.id = "job-twin";
  ASSERT_TRUE(twin_station && vek::WriteJobRow(*twin_station, twin, reason) &&
              vek::WriteNvBackup(*twin_station, {sha[0], "A0000012345678", twin.id, "2026-12-10T10:00:00Z", 3, bytes[0]}, reason));
  ASSERT_EQ(vek::ShipPending(*twin_station, *line, reason).shipped, 1) << reason;
  EXPECT_EQ(reader.NvBytes("a0000012345678", true, ""), bytes[0]);
  EXPECT_EQ(reader.NvBytes(imei, true, ""), bytes[0]);
  EXPECT_EQ(cluster.Column("SELECT count(*) FROM nv_backups"), std::vector<std::string>{"2"});
  // A newer VEK's schema is not shipped to; it only added columns, so it is read.
  PQclear(PQexec(line->handle(), "UPDATE vek_schema SET version = 99"));
  EXPECT_FALSE(line->Ship(again, {}, reason));
  EXPECT_NE(reason.find("version 99"), std::string::npos) << reason;
  EXPECT_TRUE(vekreport::OpenLineForReading(cluster.Url(), reason)) << reason;
}

}  // namespace
