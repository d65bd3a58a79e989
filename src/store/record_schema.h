// The tables the station's database (SQLite) and the line's (PostgreSQL) both
// keep, written once: each table's columns in table order, with a type that each
// database names in its own words. The CREATE statements, the column lists and
// the placeholders of both are made from here, so a column added to this list is
// added everywhere at once; a row's values go by column name (RecordRow). The
// tables are an outside contract (docs/records.md, docs/line.md): columns are
// added at the end, none is renamed or retyped.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

namespace vek {

enum class RecordDb { kStation, kLine };

enum class ColumnType {
  kText,        // TEXT in both
  kInteger,     // INTEGER in both (32 bits on the line)
  kBigInteger,  // INTEGER at the station (SQLite's are 64 bits), BIGINT on the line
  kReal,        // REAL, DOUBLE PRECISION
  kBytes,       // BLOB, BYTEA
};

// Which of the databases has a column: the station keeps what judges its own
// running rows and prunes its backups; the line names the station of each row.
enum class KeptIn { kBoth, kStation, kLine };

struct RecordColumn {
  const char* name;
  ColumnType type;
  bool not_null = false;
  KeptIn kept_in = KeptIn::kBoth;
};

struct RecordIndex {
  const char* name;
  const char* columns;  // "module, taken_utc"
};

struct RecordTable {
  const char* name;
  const char* key;  // the primary key: one column, declared with it, or "a, b", declared after them
  std::vector<RecordColumn> columns;
  std::vector<RecordIndex> indexes;
};

const RecordTable& JobsTable();
const RecordTable& ImageFilesTable();
const RecordTable& NvBackupsTable();
const RecordTable& NvBackupModulesTable();
// Every table, in the order they are made.
const std::vector<const RecordTable*>& RecordTables();

// The columns `db` keeps of `table`, in table order.
std::vector<RecordColumn> ColumnsIn(const RecordTable& table, RecordDb db);
// "id, started_utc, ...": the columns `db` keeps, in table order.
std::string ColumnNames(const RecordTable& table, RecordDb db);
// "<verb> INTO <table> (<columns>) VALUES (?1, ...)", or ($1, ...) on the line:
// the values bound in the order of ColumnsIn.
std::string InsertText(const std::string& verb, const RecordTable& table, RecordDb db);
// Every table with its indexes, made when missing, in `db`'s words.
std::string CreateTablesText(RecordDb db);
// "ALTER TABLE ... ADD COLUMN ...": a column a database made by an older VEK lacks
// (the line's adds it only when missing).
std::string AddColumnText(const RecordTable& table, const RecordColumn& column, RecordDb db);
// Links each backup an older VEK stored to the module it names (once each).
std::string LinkOldBackupsText(RecordDb db);

// A stored value: NULL, an integer, a real, text or bytes.
using RecordValue = std::variant<std::monostate, int64_t, double, std::string, std::vector<uint8_t>>;
// A row's values by column name.
using RecordRow = std::map<std::string, RecordValue>;

}  // namespace vek
