// The tables made from the one list, and an older VEK's upgraded in place: a
// station database (a real SQLite file) and a line database (a real PostgreSQL
// server) made with the schema as it was first written, holding a backup, are
// upgraded by this VEK and compared, column by column and index by index, with
// new ones; the old backup is linked to its module.
#include "store/record_schema.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include "pg_cluster.h"
#include "store/line_db.h"
#include "store/station_db.h"
#include "test_support.h"

namespace {

constexpr const char* kFirstStationTables = R"sql(
CREATE TABLE jobs (id TEXT PRIMARY KEY, started_utc TEXT NOT NULL, ended_utc TEXT, station TEXT NOT NULL,
  program TEXT NOT NULL, vek_version TEXT NOT NULL, usb_path TEXT, port TEXT, imei TEXT, meid TEXT, product TEXT,
  version_before TEXT, version_after TEXT, image_set_sha256 TEXT, nv_records INTEGER, nv_refused INTEGER,
  result TEXT NOT NULL, failed_step TEXT, text TEXT, exit_status INTEGER, duration_s REAL, folder TEXT, log TEXT,
  pid INTEGER, boot_id TEXT);
CREATE INDEX jobs_by_start ON jobs (started_utc);
CREATE INDEX jobs_by_imei ON jobs (imei);
CREATE INDEX jobs_by_meid ON jobs (meid);
CREATE TABLE image_files (job_id TEXT NOT NULL, position INTEGER NOT NULL, name TEXT NOT NULL,
  size INTEGER NOT NULL, sha256 TEXT NOT NULL, PRIMARY KEY (job_id, position));
CREATE TABLE nv_backups (sha256 TEXT PRIMARY KEY, module TEXT NOT NULL, job_id TEXT NOT NULL,
  taken_utc TEXT NOT NULL, records INTEGER NOT NULL, first_of_module INTEGER NOT NULL, bytes BLOB NOT NULL);
CREATE INDEX nv_backups_by_module ON nv_backups (module, taken_utc);
INSERT INTO nv_backups VALUES ('ab12', '356938035643809', 'job-1', '2026-12-01T08:00:00Z', 2, 1, x'0102');
PRAGMA user_version = 1;
)sql";

constexpr const char* kFirstLineTables = R"sql(
CREATE TABLE vek_schema (version INTEGER NOT NULL);
INSERT INTO vek_schema VALUES (1);
CREATE TABLE jobs (id TEXT PRIMARY KEY, started_utc TEXT NOT NULL, ended_utc TEXT, station TEXT NOT NULL,
  program TEXT NOT NULL, vek_version TEXT NOT NULL, usb_path TEXT, port TEXT, imei TEXT, meid TEXT, product TEXT,
  version_before TEXT, version_after TEXT, image_set_sha256 TEXT, nv_records BIGINT, nv_refused BIGINT,
  result TEXT NOT NULL, failed_step TEXT, text TEXT, exit_status INTEGER, duration_s DOUBLE PRECISION,
  folder TEXT, log TEXT);
CREATE INDEX jobs_by_start ON jobs (started_utc);
CREATE INDEX jobs_by_imei ON jobs (imei);
CREATE INDEX jobs_by_meid ON jobs (meid);
CREATE TABLE image_files (job_id TEXT NOT NULL, position INTEGER NOT NULL, name TEXT NOT NULL,
  size BIGINT NOT NULL, sha256 TEXT NOT NULL, station TEXT NOT NULL, PRIMARY KEY (job_id, position));
CREATE TABLE nv_backups (sha256 TEXT PRIMARY KEY, module TEXT NOT NULL, job_id TEXT NOT NULL,
  taken_utc TEXT NOT NULL, records BIGINT NOT NULL, station TEXT NOT NULL, bytes BYTEA NOT NULL);
CREATE INDEX nv_backups_by_module ON nv_backups (module, taken_utc);
INSERT INTO nv_backups VALUES ('ab12', '356938035643809', 'job-1', '2026-12-01T08:00:00Z', 2, 'station-a', '\x0102');
)sql";

constexpr const char* kLinks = "SELECT sha256 || ' ' || module || ' ' || job_id || ' ' || taken_utc FROM nv_backup_modules";
const std::vector<std::string> kOldBackupLinked{"ab12 356938035643809 job-1 2026-12-01T08:00:00Z"};

// One line a column (its table, place, name, type, NOT NULL, key, default), an index or the version.
constexpr const char* kStationCatalogue = R"sql(
SELECT m.name || ' ' || p.cid || ' ' || p.name || ' ' || p.type || ' ' || p."notnull" || ' ' || p.pk || ' ' ||
       ifnull(p.dflt_value, '-') FROM sqlite_master m JOIN pragma_table_info(m.name) p WHERE m.type = 'table'
UNION ALL SELECT name || ' ON ' || tbl_name || ' ' || ifnull(sql, '-') FROM sqlite_master WHERE type = 'index'
UNION ALL SELECT 'version ' || user_version FROM pragma_user_version ORDER BY 1
)sql";

constexpr const char* kLineCatalogue = R"sql(
SELECT table_name || ' ' || ordinal_position || ' ' || column_name || ' ' || data_type || ' ' || is_nullable || ' ' ||
       coalesce(column_default, '-') FROM information_schema.columns WHERE table_schema = 'public'
UNION ALL SELECT indexdef FROM pg_indexes WHERE schemaname = 'public'
UNION ALL SELECT 'version ' || version FROM vek_schema ORDER BY 1
)sql";

std::vector<std::string> StationCatalogue(const std::string& path) {
  std::string reason;
  auto db = vek::StationDb::Open(path, vek::StationDb::Mode::kRead, reason);
  EXPECT_TRUE(db) << reason;
  std::vector<std::string> rows;
  if (!db) return rows;
  vek::StationStatement query(*db, kStationCatalogue);
  while (query.Step()) rows.push_back(query.Text(0));
  EXPECT_FALSE(query.Failed()) << db->Error();
  return rows;
}

TEST(RecordSchema, AnOlderStationDatabaseIsUpgradedInPlaceToTheTablesOfANewOne) {
  vektest::TempDir dir;
  sqlite3* first = nullptr;
  ASSERT_EQ(sqlite3_open(dir.File("first.db").c_str(), &first), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(first, kFirstStationTables, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(first);
  sqlite3_close(first);
  std::string reason;
  ASSERT_TRUE(vek::StationDb::Open(dir.File("new.db"), vek::StationDb::Mode::kWrite, reason)) << reason;
  const std::vector<std::string> expected = StationCatalogue(dir.File("new.db"));
  EXPECT_EQ(expected.size(), 27u + 7 + 7 + 4 + 10 + 1);  // columns, indexes and those of the keys, the version

  auto upgraded = vek::StationDb::Open(dir.File("first.db"), vek::StationDb::Mode::kWrite, reason);
  ASSERT_TRUE(upgraded) << reason;
  EXPECT_EQ(StationCatalogue(dir.File("first.db")), expected);
  // A file of this schema made before an index was added gets it from its next writer.
  ASSERT_TRUE(upgraded->Exec("DROP INDEX jobs_by_image_set", reason)) << reason;
  ASSERT_TRUE(vek::StationDb::Open(dir.File("first.db"), vek::StationDb::Mode::kWrite, reason)) << reason;
  EXPECT_EQ(StationCatalogue(dir.File("first.db")), expected);
  vek::StationStatement links(*upgraded, kLinks);
  ASSERT_TRUE(links.Step());
  EXPECT_EQ(std::vector<std::string>{links.Text(0)}, kOldBackupLinked);
}

TEST(RecordSchema, AnOlderLineDatabaseIsUpgradedInPlaceToTheTablesOfANewOne) {
  vektest::PgCluster cluster(30000 + getpid() % 10000);
  ASSERT_TRUE(cluster.ready());
  cluster.Column("CREATE DATABASE first");
  cluster.Column(kFirstLineTables, "first");
  std::string reason;
  auto line = vek::LineDb::Connect(cluster.Url(), reason);
  ASSERT_TRUE(line && line->Init(reason)) << reason;
  const std::vector<std::string> expected = cluster.Column(kLineCatalogue);
  // Columns, indexes and those of the keys, the views' columns, the version.
  EXPECT_EQ(expected.size(), 1u + 25 + 8 + 7 + 5 + 10 + 14 + 1);

  auto upgraded = vek::LineDb::Connect(cluster.Url() + " dbname=first", reason);
  ASSERT_TRUE(upgraded && upgraded->Init(reason)) << reason;
  EXPECT_EQ(cluster.Column(kLineCatalogue, "first"), expected);
  EXPECT_EQ(cluster.Column(kLinks, "first"), kOldBackupLinked);
}

}  // namespace
