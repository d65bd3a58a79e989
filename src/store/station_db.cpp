#include "store/station_db.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <type_traits>
#include <variant>

#include "store/record_schema.h"

namespace vek {
namespace {

// Eight jobs of a tray end within the same second; each writes a few rows in
// one transaction of a few milliseconds, and the last to close the file copies
// the log into it. On a loaded station (eight jobs and their ports on two cores)
// the holder of the lock may be kept off the processor for seconds, and a row
// that gives up waits beside its job instead of in the database: so a writer
// waits this long before it takes the lock for something else's (a reader
// holding the file, a dead lock). Within the time a job's end waits for its records.
constexpr int kBusyTimeoutMs = 10000;
// How long a writer sleeps between looks at a lock another writer holds. SQLite's
// own handler sleeps longer and longer (up to 100 ms a time), so a job would wait
// far past the moment the other's few milliseconds ended.
constexpr int kBusyLookMs = 1;

// Called by SQLite while the database is locked, `tries` times so far for this
// statement: sleeps one look and says whether to try again, within the busy timeout.
int WaitForTheLock(void* context, int tries) {
  auto& since = *static_cast<std::chrono::steady_clock::time_point*>(context);
  const auto now = std::chrono::steady_clock::now();
  if (tries == 0) since = now;
  if (now - since >= std::chrono::milliseconds(kBusyTimeoutMs)) return 0;
  poll(nullptr, 0, kBusyLookMs);
  return 1;
}

bool MakeFolder(const std::filesystem::path& folder, std::string& reason) {
  if (folder.empty()) return true;
  std::error_code error;
  if (std::filesystem::is_directory(folder, error)) return true;
  if (!MakeFolder(folder.parent_path(), reason)) return false;
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    reason = "cannot make the folder " + folder.string() + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

// A new file is made 0600 before SQLite opens it, so no moment sees it wider.
bool MakeFile(const std::string& path, std::string& reason) {
  // One that is there is left alone: closing a descriptor of a database file
  // would give up every lock this process holds on it.
  if (access(path.c_str(), F_OK) == 0) return true;
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    if (errno == EACCES || errno == EROFS || errno == EEXIST) return true;  // SQLite says the rest
    reason = "cannot make " + path + ": " + std::strerror(errno);
    return false;
  }
  close(fd);
  return true;
}

// The path itself, before SQLite is let near it. A link is not written through
// (the file it names would become a database holding NV backups, keeping its
// own mode); nothing but a plain file is opened (a FIFO would block the reader
// for ever, a device would get a journal made beside it). A database this
// program writes is kept from other users: `note` says so when it cannot be.
bool SafePath(const std::string& path, StationDb::Mode mode, std::string& reason, std::string* note) {
  struct stat status {};
  if (lstat(path.c_str(), &status) != 0) {
    if (errno == ENOENT) return true;  // made below, or named by SQLite's own words
    reason = path + ": " + std::strerror(errno);
    return false;
  }
  if (S_ISLNK(status.st_mode)) {
    if (mode == StationDb::Mode::kWrite) {
      reason = path + ": it is a symbolic link, and a database is never written through one";
      return false;
    }
    if (stat(path.c_str(), &status) != 0) {
      reason = path + ": " + std::strerror(errno);
      return false;
    }
  }
  if (!S_ISREG(status.st_mode)) {
    reason = path + (S_ISDIR(status.st_mode) ? ": it is a folder" : ": it is not a plain file (a device or a FIFO)");
    return false;
  }
  if (mode == StationDb::Mode::kWrite && (status.st_mode & 077) != 0 && chmod(path.c_str(), 0600) != 0 && note)
    *note = path + ": others may read it (it cannot be made 0600: " + std::strerror(errno) + ")";
  return true;
}

// Whether a read failed for want of the files SQLite keeps beside a database
// (a WAL database's -shm), which it could not make there.
bool CannotMakeItsFiles(sqlite3* db) {
  const int code = sqlite3_extended_errcode(db) & 0xFF;
  return code == SQLITE_READONLY || code == SQLITE_CANTOPEN;
}

// The write-ahead log or rollback journal beside `path` when it holds anything:
// reading the file as it stands would leave that out.
std::string UnreadBeside(const std::string& path) {
  for (const char* suffix : {"-wal", "-journal"}) {
    struct stat status {};
    if (stat((path + suffix).c_str(), &status) == 0 && status.st_size > 0) return path + suffix;
  }
  return {};
}

// `path` as a "file:" URI that tells SQLite the file does not change: it then
// takes no lock and makes nothing beside it. Every character but the plainest is escaped.
std::string AsItStandsUri(const std::string& path) {
  std::string uri = path.starts_with('/') ? "file://" : "file:";
  for (const unsigned char c : path) {
    if (std::isalnum(c) || (c != 0 && std::strchr("/-._~", c) != nullptr)) {
      uri += static_cast<char>(c);
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", c);
      uri += escaped;
    }
  }
  return uri + "?immutable=1";
}

}  // namespace

std::unique_ptr<StationDb> StationDb::Open(const std::string& path, Mode mode, std::string& reason,
                                           std::string* note) {
  if (path.empty()) {
    reason = "no place for it (neither XDG_DATA_HOME nor HOME is set)";
    return nullptr;
  }
  if (!SafePath(path, mode, reason, note)) return nullptr;
  int flags = SQLITE_OPEN_NOMUTEX;
  if (mode == Mode::kWrite) {
    if (!MakeFolder(std::filesystem::path(path).parent_path(), reason) || !MakeFile(path, reason)) return nullptr;
    flags |= SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW;
  } else {
    flags |= SQLITE_OPEN_READONLY;
  }
  std::unique_ptr<StationDb> db = OpenFile(path, flags, reason);
  if (!db) return nullptr;
  if (db->Prepare(mode, reason)) return db;
  if (mode == Mode::kWrite || !CannotMakeItsFiles(db->handle())) return nullptr;
  // A database in WAL mode is read through its -shm file, which SQLite makes
  // beside it: in a folder this user may not write, or on read-only media, it
  // cannot. A writer would have its log there, so with none the file is read as
  // it stands; a log or journal that holds anything would be left out that way.
  if (const std::string unread = UnreadBeside(path); !unread.empty()) {
    reason = "rows in " + unread + " can be read only where " + path +
             "-shm can be made beside it, and this user may not write there (copy both files to a folder it may)";
    return nullptr;
  }
  std::string again;
  db = OpenFile(AsItStandsUri(path), flags | SQLITE_OPEN_URI, again);
  if (!db) return nullptr;
  if (!db->Prepare(mode, again)) {
    reason = again;
    return nullptr;
  }
  db->as_it_stands_ = true;
  return db;
}

std::unique_ptr<StationDb> StationDb::OpenFile(const std::string& name, int flags, std::string& reason) {
  sqlite3* handle = nullptr;
  const int opened = sqlite3_open_v2(name.c_str(), &handle, flags, nullptr);
  std::unique_ptr<StationDb> db(new StationDb(handle));
  if (opened != SQLITE_OK) {
    reason = handle ? sqlite3_errmsg(handle) : "out of memory";
    return nullptr;
  }
  return db;
}

bool StationDb::Prepare(Mode mode, std::string& reason) {
  sqlite3_busy_handler(db_, WaitForTheLock, &busy_since_);
  sqlite3_extended_result_codes(db_, 1);
  // The schema version first: it reads the file's header, so a file that is
  // not a database is told here, before anything could be written to it.
  int64_t found = 0;
  {
    // Finished before anything else: a statement still open holds a transaction.
    StationStatement version(*this, "PRAGMA user_version");
    if (!version.ok() || !version.Step()) {
      reason = Error();
      return false;
    }
    found = version.Integer(0);
  }
  schema_version_ = found;
  if (found > kStationSchemaVersion) {
    reason = "its schema (version " + std::to_string(found) + ") is newer than this VEK knows (" +
             std::to_string(kStationSchemaVersion) + ")";
    // A newer VEK adds columns and changes none (docs/records.md): what this
    // one reads is there to read, and it reads by column name.
    if (mode == Mode::kWrite) return false;
    const std::string missing = MissingColumns();
    if (!missing.empty()) {
      reason += " and lacks " + missing + " of it";
      return false;
    }
  }
  if (mode == Mode::kRead) {
    StationStatement links(*this, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'nv_backup_modules'");
    has_links_ = links.Step();
    return true;
  }
  // WAL: readers never block the writer and the writers' commits are short.
  if (!SwitchToWal(reason) || !Exec("PRAGMA synchronous=NORMAL", reason)) return false;
  // An index a newer VEK of the same schema added is made by its first writer.
  if (found == kStationSchemaVersion && !LacksAnIndex()) return true;
  return Upgrade(reason);
}

// Makes the tables of a new file, or brings an older VEK's up to this one's by
// adding tables and columns only, so that an older VEK still reads what it knew.
// Two writers may both find the old version: the second does nothing twice.
bool StationDb::Upgrade(std::string& reason) {
  if (!Exec("BEGIN IMMEDIATE", reason) || !Exec(CreateTablesText(RecordDb::kStation).c_str(), reason))
    return false;
  for (const auto& [table, column] : ColumnsLacked())
    if (!Exec(AddColumnText(*table, column, RecordDb::kStation).c_str(), reason)) return false;
  return Exec(LinkOldBackupsText(RecordDb::kStation).c_str(), reason) &&
         Exec(("PRAGMA user_version=" + std::to_string(kStationSchemaVersion)).c_str(), reason) &&
         Exec("COMMIT", reason);
}

std::vector<std::pair<const RecordTable*, RecordColumn>> StationDb::ColumnsLacked() {
  std::vector<std::pair<const RecordTable*, RecordColumn>> lacked;
  for (const RecordTable* table : RecordTables()) {
    std::set<std::string> names;
    StationStatement columns(*this, "SELECT name FROM pragma_table_info(?1)");
    columns.Bind(1, std::string(table->name));
    while (columns.Step()) names.insert(columns.Text(0));
    for (const RecordColumn& column : ColumnsIn(*table, RecordDb::kStation))
      if (!names.contains(column.name)) lacked.emplace_back(table, column);
  }
  return lacked;
}

bool StationDb::LacksAnIndex() {
  for (const RecordTable* table : RecordTables())
    for (const RecordIndex& index : table->indexes) {
      StationStatement found(*this, "SELECT 1 FROM sqlite_master WHERE type = 'index' AND name = ?1");
      found.Bind(1, std::string(index.name));
      if (!found.Step()) return true;
    }
  return false;
}

// "jobs.product, nv_backups.records": the columns of this VEK's tables that
// the database does not have; empty when it has them all.
std::string StationDb::MissingColumns() {
  std::string missing;
  for (const auto& [table, column] : ColumnsLacked())
    missing += (missing.empty() ? "" : ", ") + std::string(table->name) + "." + column.name;
  return missing;
}

// A new database is switched from its rollback journal to WAL by whichever job
// opens it first, and a tray's jobs start together. When two connections make
// that switch at once, SQLite ends one of them with SQLITE_BUSY at once, without
// the busy handler (waiting could dead-lock them), although the other holds the
// lock only for the switch. So the switch is tried again, a look at a time,
// within the busy timeout like any other wait for the lock.
bool StationDb::SwitchToWal(std::string& reason) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
  for (;;) {
    if (sqlite3_exec(db_, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr) == SQLITE_OK) return true;
    if ((sqlite3_errcode(db_) & 0xFF) != SQLITE_BUSY || std::chrono::steady_clock::now() >= until) break;
    poll(nullptr, 0, kBusyLookMs);
  }
  reason = Error();
  return false;
}

StationDb::~StationDb() { sqlite3_close_v2(db_); }

bool StationDb::Exec(const char* sql, std::string& reason) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  reason = message ? message : Error();
  sqlite3_free(message);
  sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);  // nothing half done stays
  return false;
}

std::string StationDb::Error() const { return db_ ? sqlite3_errmsg(db_) : "out of memory"; }

StationStatement::StationStatement(const StationDb& db, const char* sql) {
  if (sqlite3_prepare_v2(db.handle(), sql, -1, &statement_, nullptr) != SQLITE_OK) {
    statement_ = nullptr;
    failed_ = true;
  }
}

StationStatement::~StationStatement() { sqlite3_finalize(statement_); }

StationStatement& StationStatement::Bind(int position, const std::string& text) {
  if (!statement_) return *this;
  if (text.empty()) sqlite3_bind_null(statement_, position);
  else sqlite3_bind_text(statement_, position, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  return *this;
}

StationStatement& StationStatement::Bind(int position, int64_t number) {
  if (statement_) sqlite3_bind_int64(statement_, position, number);
  return *this;
}

StationStatement& StationStatement::Bind(int position, double number) {
  if (statement_) sqlite3_bind_double(statement_, position, number);
  return *this;
}

StationStatement& StationStatement::BindOptional(int position, const std::optional<int64_t>& number) {
  if (!statement_) return *this;
  if (number) sqlite3_bind_int64(statement_, position, *number);
  else sqlite3_bind_null(statement_, position);
  return *this;
}

StationStatement& StationStatement::BindBlob(int position, const std::vector<uint8_t>& bytes) {
  if (statement_)
    sqlite3_bind_blob64(statement_, position, bytes.data(), bytes.size(), SQLITE_TRANSIENT);
  return *this;
}

StationStatement& StationStatement::BindValue(int position, const RecordValue& value) {
  std::visit(
      [&](const auto& held) {
        using Held = std::decay_t<decltype(held)>;
        if constexpr (std::is_same_v<Held, std::monostate>) {
          if (statement_) sqlite3_bind_null(statement_, position);
        } else if constexpr (std::is_same_v<Held, std::vector<uint8_t>>) {
          BindBlob(position, held);
        } else {
          Bind(position, held);
        }
      },
      value);
  return *this;
}

bool StationStatement::Step() {
  if (!statement_ || failed_) return false;
  const int result = sqlite3_step(statement_);
  if (result == SQLITE_ROW) return true;
  if (result != SQLITE_DONE) failed_ = true;
  return false;
}

bool StationStatement::Done() {
  Step();
  return statement_ != nullptr && !failed_;
}

int StationStatement::ColumnCount() const { return statement_ ? sqlite3_column_count(statement_) : 0; }

std::string StationStatement::ColumnName(int column) const {
  const char* name = sqlite3_column_name(statement_, column);
  return name ? name : "";
}

std::string StationStatement::Text(int column) const {
  const unsigned char* text = sqlite3_column_text(statement_, column);
  if (text == nullptr) return {};
  return std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(sqlite3_column_bytes(statement_, column)));
}

int64_t StationStatement::Integer(int column) const { return sqlite3_column_int64(statement_, column); }

double StationStatement::Real(int column) const { return sqlite3_column_double(statement_, column); }

bool StationStatement::IsNull(int column) const { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }

bool StationStatement::IsNumber(int column) const {
  const int type = sqlite3_column_type(statement_, column);
  return type == SQLITE_INTEGER || type == SQLITE_FLOAT;
}

std::vector<uint8_t> StationStatement::Blob(int column) const {
  const auto* bytes = static_cast<const uint8_t*>(sqlite3_column_blob(statement_, column));
  const int size = sqlite3_column_bytes(statement_, column);
  if (bytes == nullptr || size <= 0) return {};
  return std::vector<uint8_t>(bytes, bytes + size);
}

RecordRow StationStatement::Row() const {
  RecordRow values;
  for (int column = 0; column < ColumnCount(); ++column) {
    RecordValue& value = values[ColumnName(column)];
    switch (sqlite3_column_type(statement_, column)) {
      case SQLITE_INTEGER: value = Integer(column); break;
      case SQLITE_FLOAT: value = Real(column); break;
      case SQLITE_TEXT: value = Text(column); break;
      case SQLITE_BLOB: value = Blob(column); break;
      default: break;  // NULL
    }
  }
  return values;
}

}  // namespace vek
