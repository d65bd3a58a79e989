// The line database against a real PostgreSQL server started for the test,
// and the station's rows shipped to it from a real SQLite file.
#include "records/line_db.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <unistd.h>

#include "pg_cluster.h"
#include "records/line_shipping.h"
#include "test_support.h"

namespace {

int64_t Count(vek::LineDb& line, const char* sql) {
  PGresult* result = PQexec(line.handle(), sql);
  const int64_t count = PQresultStatus(result) == PGRES_TUPLES_OK ? std::atoll(PQgetvalue(result, 0, 0)) : -1;
  PQclear(result);
  return count;
}

vek::StationJobRow Job(const std::string& id, const std::string& result) {
  vek::StationJobRow row;
  row.id = id;
  row.started_utc = "2026-12-08T10:00:00Z";
  row.station = "station-a";
  row.program = "vek-cli";
  row.vek_version = "5.1";
  row.imei = "356938035643809";
  row.result = result;
  row.files = {{"amss.mbn", 1024, std::string(64, 'a')}};
  return row;
}

class LineDbAgainstAServer : public ::testing::Test {
 protected:
  vektest::PgCluster cluster_{50000 + getpid() % 10000};
};

TEST_F(LineDbAgainstAServer, ShippingTwiceStoresOnceAndTheStationKnowsWhatWentOut) {
  ASSERT_TRUE(cluster_.ready());
  std::string reason;
  auto line = vek::LineDb::Connect(cluster_.Url(), reason);
  ASSERT_TRUE(line) << reason;
  ASSERT_TRUE(line->Init(reason)) << reason;
  ASSERT_TRUE(line->Init(reason)) << reason;  // idempotent
  int version = 0;
  ASSERT_TRUE(line->Version(version, reason));
  EXPECT_EQ(version, vek::kLineSchemaVersion);

  vektest::TempDir dir;
  auto station = vek::StationDb::Open(dir.File("station.db"), vek::StationDb::Mode::kWrite, reason);
  ASSERT_TRUE(station) << reason;
  for (const auto& [id, result] : {std::pair{"a", "succeeded"}, {"b", "failed"}, {"c", "running"}})
    ASSERT_TRUE(vek::WriteJobRow(*station, Job(id, result), reason)) << reason;
  ASSERT_TRUE(vek::WriteNvBackup(*station, {"f00d", "356938035643809", "a", "2026-12-08T10:00:05Z", 3, {0, 1, 2, 0xFF}},
                                 reason));
  const vek::ShippingCount first = vek::ShipPending(*station, *line, reason);
  EXPECT_EQ(first.shipped, 2) << reason;  // a running job waits for its end
  EXPECT_EQ(first.left, 0);
  EXPECT_EQ(vek::ShipPending(*station, *line, reason).shipped, 0);
  // Shipped again from another copy of the rows (a station that lost its marks): once.
  EXPECT_TRUE(line->Ship(Job("a", "succeeded"), {}, reason)) << reason;
  EXPECT_EQ(Count(*line, "SELECT count(*) FROM jobs"), 2);
  EXPECT_EQ(Count(*line, "SELECT count(*) FROM image_files WHERE station = 'station-a'"), 2);
  EXPECT_EQ(Count(*line, "SELECT count(*) FROM nv_backups WHERE bytes = '\\x000102ff'::bytea"), 1);
}

TEST_F(LineDbAgainstAServer, AWrongPasswordOrAStoppedServerIsToldWithoutThePassword) {
  ASSERT_TRUE(cluster_.ready());
  std::string reason;
  EXPECT_FALSE(vek::LineDb::Connect(cluster_.Url("not-the-one"), reason));
  EXPECT_NE(reason.find("password authentication failed"), std::string::npos) << reason;
  EXPECT_EQ(reason.find("not-the-one"), std::string::npos) << reason;
  ASSERT_TRUE(cluster_.Stop());
  reason.clear();
  EXPECT_FALSE(vek::LineDb::Connect(cluster_.Url(), reason));
  EXPECT_FALSE(reason.empty());
  EXPECT_EQ(reason.find(vektest::PgCluster::kPassword), std::string::npos) << reason;
}

TEST_F(LineDbAgainstAServer, ASchemaItDoesNotKnowIsNotShippedTo) {
  ASSERT_TRUE(cluster_.ready());
  std::string reason;
  auto line = vek::LineDb::Connect(cluster_.Url(), reason);
  ASSERT_TRUE(line && line->Init(reason)) << reason;
  PQclear(PQexec(line->handle(), "UPDATE vek_schema SET version = 99"));
  EXPECT_FALSE(line->Ship(Job("a", "succeeded"), {}, reason));
  EXPECT_NE(reason.find("version 99"), std::string::npos) << reason;
  EXPECT_FALSE(line->Init(reason));
}

}  // namespace
