// Where the fixture's rows go: a new station database (SQLite, one transaction,
// one prepared statement a table) or an empty line database (PostgreSQL, COPY
// FROM STDIN a table, one transaction). Each takes the columns its database keeps
// (vek::ColumnsIn), so the rows follow the schema. Neither writes over data: a
// station file that exists and a line database holding jobs are refused, and
// whatever a failed run made is rolled back (the station file it made, removed).
#pragma once

#include <fcntl.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "bench_support.h"
#include "fixture_rows.h"
#include "store/line_db.h"
#include "store/station_db.h"

namespace fixture {

// The places in a table's row of the columns `db` keeps, in their order.
inline std::vector<size_t> PlacesIn(const vek::RecordTable& table, vek::RecordDb db) {
  std::vector<size_t> places;
  for (const vek::RecordColumn& column : vek::ColumnsIn(table, db))
    for (size_t i = 0; i < table.columns.size(); ++i)
      if (std::string_view(table.columns[i].name) == column.name) places.push_back(i);
  return places;
}

class Sink {
 public:
  virtual ~Sink() = default;
  virtual bool Begin(const vek::RecordTable& table, std::string& reason) = 0;
  virtual bool Add(const TableRow& row, std::string& reason) = 0;
  virtual bool End(std::string& reason) = 0;
  virtual bool Commit(std::string& reason) = 0;
  // Once every database has committed: made ready to be read as a settled one is.
  virtual bool Settle(std::string&) { return true; }
  virtual std::string Name() const = 0;
  // Its size once committed, in bytes.
  virtual uint64_t Bytes() = 0;
  double seconds = 0;  // spent in this database's calls
};

class StationSink : public Sink {
 public:
  // Makes the file `path` (never one that exists) with the station's schema.
  static std::unique_ptr<StationSink> Make(const std::string& path, std::string& reason) {
    std::error_code error;
    const auto folder = std::filesystem::path(path).parent_path();
    if (!folder.empty()) std::filesystem::create_directories(folder, error);
    // Made here, exclusively: nothing that is there is ever opened for writing.
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      reason = path + (errno == EEXIST ? ": it exists, and a fixture is never written over a file"
                                       : std::string(": ") + std::strerror(errno));
      return nullptr;
    }
    close(fd);
    std::unique_ptr<StationSink> sink(new StationSink(path));
    sink->db_ = vek::StationDb::Open(path, vek::StationDb::Mode::kWrite, reason);
    // Nothing else uses the new file while it is filled: no sync of every page,
    // the indexes' pages kept in memory rather than read back, and the pages
    // written once into the file rather than into the WAL and then again (the
    // file is new: the journal of what it held is a few pages, kept in memory).
    // It is switched back to WAL when it is filled, as the stations keep it.
    if (!sink->db_ ||
        !sink->db_->Exec("PRAGMA synchronous=OFF; PRAGMA cache_size=-262144; PRAGMA journal_mode=MEMORY; BEGIN",
                         reason)) {
      reason = path + ": " + reason;
      return nullptr;
    }
    return sink;
  }
  ~StationSink() override {
    sqlite3_finalize(insert_);
    db_.reset();
    if (!committed_)
      for (const char* suffix : {"", "-wal", "-shm"}) unlink((path_ + suffix).c_str());
  }

  bool Begin(const vek::RecordTable& table, std::string& reason) override {
    places_ = PlacesIn(table, vek::RecordDb::kStation);
    const std::string sql = vek::InsertText("INSERT", table, vek::RecordDb::kStation);
    if (sqlite3_prepare_v3(db_->handle(), sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &insert_, nullptr) == SQLITE_OK)
      return true;
    reason = path_ + ": " + db_->Error();
    return false;
  }

  bool Add(const TableRow& row, std::string& reason) override {
    const auto start = bench::Clock::now();
    int position = 0;
    for (size_t place : places_) {
      ++position;
      const vek::RecordValue& value = row.values[place];
      // Bound without a copy: the row stays as it is until the step.
      if (const auto* text = std::get_if<std::string>(&value))
        sqlite3_bind_text(insert_, position, text->data(), static_cast<int>(text->size()), SQLITE_STATIC);
      else if (const auto* number = std::get_if<int64_t>(&value))
        sqlite3_bind_int64(insert_, position, *number);
      else if (const auto* real = std::get_if<double>(&value))
        sqlite3_bind_double(insert_, position, *real);
      else if (const auto* bytes = std::get_if<std::vector<uint8_t>>(&value))
        sqlite3_bind_blob64(insert_, position, bytes->data(), bytes->size(), SQLITE_STATIC);
      else
        sqlite3_bind_null(insert_, position);
    }
    const bool done = sqlite3_step(insert_) == SQLITE_DONE;
    if (!done) reason = path_ + ": " + db_->Error();
    sqlite3_reset(insert_);
    seconds += bench::SecondsSince(start);
    return done;
  }

  bool End(std::string&) override {
    sqlite3_finalize(insert_);
    insert_ = nullptr;
    return true;
  }

  bool Commit(std::string& reason) override {
    const auto start = bench::Clock::now();
    // Closed, so that the log is folded into the file and its size is the database's.
    committed_ = db_->Exec("COMMIT; PRAGMA journal_mode=WAL", reason);
    if (!committed_) reason = path_ + ": " + reason;
    db_.reset();
    seconds += bench::SecondsSince(start);
    return committed_;
  }

  std::string Name() const override { return path_ + " (SQLite)"; }
  uint64_t Bytes() override {
    std::error_code error;
    const auto size = std::filesystem::file_size(path_, error);
    return error ? 0 : size;
  }

 private:
  explicit StationSink(std::string path) : path_(std::move(path)) {}
  std::string path_;
  std::unique_ptr<vek::StationDb> db_;
  sqlite3_stmt* insert_ = nullptr;
  std::vector<size_t> places_;
  bool committed_ = false;
};

class LineSink : public Sink {
 public:
  // Connects, makes the schema when missing, and holds the jobs' table until the
  // end, so that no other writer comes between its look and its rows.
  static std::unique_ptr<LineSink> Make(const std::string& conninfo, std::string& reason) {
    std::unique_ptr<LineSink> sink(new LineSink(vek::LineDbTarget(conninfo)));
    sink->db_ = vek::LineDb::Connect(conninfo, reason);
    if (!sink->db_) return nullptr;
    sink->conn_ = sink->db_->handle();
    if (!sink->db_->Init(reason)) {
      reason = sink->target_ + ": " + reason;
      return nullptr;
    }
    // A million rows take longer than a station's statement may; a lock that
    // another session holds (a report reading) is waited for a while only.
    std::string has_jobs;
    if (!sink->Run("SET statement_timeout = 0; SET lock_timeout = '10s'; SET synchronous_commit = off; "
                   "SET maintenance_work_mem = '256MB'",
                   reason) ||
        !sink->Run("BEGIN; LOCK TABLE jobs IN EXCLUSIVE MODE", reason) ||
        !sink->Value("SELECT EXISTS (SELECT 1 FROM jobs)", has_jobs, reason))
      return nullptr;
    if (has_jobs != "f") {
      reason = sink->target_ + ": it holds jobs already, and a fixture is only ever written into an empty one";
      return nullptr;
    }
    return sink;
  }

  bool Begin(const vek::RecordTable& table, std::string& reason) override {
    places_ = PlacesIn(table, vek::RecordDb::kLine);
    // An index made once over every row is made far sooner than one that takes
    // a million rows one at a time; End makes them again as the schema says.
    for (const vek::RecordIndex& index : table.indexes)
      if (!Run((std::string("DROP INDEX ") + index.name).c_str(), reason)) return false;
    const std::string sql = std::string("COPY ") + table.name + " (" + vek::ColumnNames(table, vek::RecordDb::kLine) +
                            ") FROM STDIN";
    PGresult* result = PQexec(conn_, sql.c_str());
    const bool copying = PQresultStatus(result) == PGRES_COPY_IN;
    PQclear(result);
    if (!copying) reason = target_ + ": " + Error();
    return copying;
  }

  bool Add(const TableRow& row, std::string& reason) override {
    const auto start = bench::Clock::now();
    for (size_t i = 0; i < places_.size(); ++i) {
      if (i > 0) buffer_ += '\t';
      AppendCopyText(row.values[places_[i]]);
    }
    buffer_ += '\n';
    const bool sent = buffer_.size() < kChunk || Flush(reason);
    seconds += bench::SecondsSince(start);
    return sent;
  }

  bool End(std::string& reason) override {
    const auto start = bench::Clock::now();
    bool done = Flush(reason) && PQputCopyEnd(conn_, nullptr) == 1;
    // Every result is taken, the last one naming what the server made of the rows.
    while (PGresult* result = PQgetResult(conn_)) {
      if (PQresultStatus(result) != PGRES_COMMAND_OK) done = false;
      PQclear(result);
    }
    if (!done) reason = target_ + ": " + Error();
    done = done && Run(vek::CreateTablesText(vek::RecordDb::kLine).c_str(), reason);
    seconds += bench::SecondsSince(start);
    return done;
  }

  bool Commit(std::string& reason) override {
    const auto start = bench::Clock::now();
    const bool done = Run("COMMIT", reason);
    seconds += bench::SecondsSince(start);
    return done;
  }

  // As the server's autovacuum leaves tables a while after a big load: their
  // statistics taken and their pages marked visible.
  bool Settle(std::string& reason) override {
    const auto start = bench::Clock::now();
    std::string tables;
    for (const vek::RecordTable* table : vek::RecordTables())
      tables += (tables.empty() ? "" : ", ") + std::string(table->name);
    const bool done = Run(("VACUUM (ANALYZE) " + tables).c_str(), reason);
    seconds += bench::SecondsSince(start);
    return done;
  }

  std::string Name() const override { return target_ + " (PostgreSQL)"; }
  uint64_t Bytes() override {
    std::string size, reason;
    return Value("SELECT pg_database_size(current_database())", size, reason) ? std::stoull(size) : 0;
  }

 private:
  static constexpr size_t kChunk = 1 << 20;

  explicit LineSink(std::string target) : target_(std::move(target)) {}

  std::string Error() const {
    std::string text = PQerrorMessage(conn_);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
  }

  bool Run(const char* sql, std::string& reason) {
    PGresult* result = PQexec(conn_, sql);
    const bool done = PQresultStatus(result) == PGRES_COMMAND_OK;
    PQclear(result);
    if (!done) reason = target_ + ": " + Error();
    return done;
  }

  bool Value(const char* sql, std::string& value, std::string& reason) {
    PGresult* result = PQexec(conn_, sql);
    const bool done = PQresultStatus(result) == PGRES_TUPLES_OK && PQntuples(result) == 1;
    if (done) value = PQgetvalue(result, 0, 0);
    PQclear(result);
    if (!done) reason = target_ + ": " + Error();
    return done;
  }

  bool Flush(std::string& reason) {
    if (!buffer_.empty() && PQputCopyData(conn_, buffer_.data(), static_cast<int>(buffer_.size())) != 1) {
      reason = target_ + ": " + Error();
      return false;
    }
    buffer_.clear();
    return true;
  }

  // A value in COPY's text format: \N for NULL, the characters that end a field
  // or a row escaped, bytes as bytea's hexadecimal (its backslash escaped too).
  void AppendCopyText(const vek::RecordValue& value) {
    char number[32];
    if (const auto* text = std::get_if<std::string>(&value)) {
      for (const char c : *text) {
        switch (c) {
          case '\\': buffer_ += "\\\\"; break;
          case '\t': buffer_ += "\\t"; break;
          case '\n': buffer_ += "\\n"; break;
          case '\r': buffer_ += "\\r"; break;
          default: buffer_ += c;
        }
      }
    } else if (const auto* whole = std::get_if<int64_t>(&value)) {
      buffer_.append(number, std::to_chars(number, number + sizeof number, *whole).ptr);
    } else if (const auto* real = std::get_if<double>(&value)) {
      buffer_.append(number, std::to_chars(number, number + sizeof number, *real).ptr);  // read back the same
    } else if (const auto* bytes = std::get_if<std::vector<uint8_t>>(&value)) {
      static constexpr char kDigits[] = "0123456789abcdef";
      buffer_ += "\\\\x";
      for (const uint8_t byte : *bytes) {
        buffer_ += kDigits[byte >> 4];
        buffer_ += kDigits[byte & 0x0F];
      }
    } else {
      buffer_ += "\\N";
    }
  }

  std::string target_;
  std::unique_ptr<vek::LineDb> db_;
  pg_conn* conn_ = nullptr;
  std::vector<size_t> places_;
  std::string buffer_;
};

}  // namespace fixture
