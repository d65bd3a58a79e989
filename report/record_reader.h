// What vek-report's queries read, from the station's database or from the line's:
// the same rows either way, so that one printing serves both. A module's IMEI or
// MEID and a SHA-256 are hexadecimal and kept as the module or the job wrote
// them: both readers compare them without case (upper() and lower() of either
// database change ASCII letters, all these hold).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vekreport {

// A row of `jobs` as stored, with `result` as vek-report shows it: a row still
// "running" whose process is gone (this station, another boot or no such
// process) reads "interrupted".
struct Cell {
  std::string name;
  std::string text;  // "" for NULL
  bool null = false, number = false;
};

struct JobRow {
  std::vector<Cell> columns;  // in table order
  std::string Column(const std::string& name) const;
};

struct JobFilter {
  std::string module;     // IMEI or MEID
  std::string image_set;  // its SHA-256
  std::string since;      // "2026-12-01" or a whole UTC time
  bool failed = false;    // failed, aborted and interrupted only
  std::string station;    // of this station only
  // A page of them: `limit` rows (0: all) after the first `offset`. With
  // `failed`, a page leaves out the rows still running, so it may come short.
  int64_t limit = 0, offset = 0;
};

struct NvBackupRow {
  std::string sha256, module, job_id, taken_utc;
  int64_t records = 0;
  bool first_of_module = false;
  int64_t size = 0;
  std::string station;  // the line's rows only: the station that took it
};

struct Summary {
  std::map<std::string, int64_t> by_result, failed_by_step, by_product, by_station;
};

class RecordReader {
 public:
  virtual ~RecordReader() = default;

  std::vector<JobRow> Jobs(const JobFilter& filter);  // newest first
  virtual std::vector<NvBackupRow> NvBackups(const std::string& module) = 0;  // newest first
  // The bytes of one backup of `module`: the first taken, the one with `sha256`,
  // or else the newest; nothing when there is none, or when they no longer hash
  // to the SHA-256 that names them (refused() then says so).
  virtual std::optional<std::vector<uint8_t>> NvBytes(const std::string& module, bool first,
                                                      const std::string& sha256) = 0;
  Summary Summarise(const std::string& since);

  // The rows of a question put the same to either database: `sql` names its
  // values $1, $2, ... ("" goes as NULL); every cell as text, NULL as nothing.
  // Reading only. Nothing and error() set when it fails.
  using Cells = std::vector<std::optional<std::string>>;
  virtual std::vector<Cells> Ask(const std::string& sql, const std::vector<std::string>& values) = 0;
  // The median time of a succeeded job of each station that started one in
  // [from, to), by station: the middle one, or the mean of the middle two.
  virtual std::vector<std::pair<std::string, double>> MedianSeconds(const std::string& from,
                                                                    const std::string& to) = 0;
  // A column of a question that tells a row still running from one left so by a
  // process that is gone: "STATION PID BOOT_ID" for a running row (the line keeps
  // no process), NULL for every other. RunningResult() reads it.
  virtual const char* RunningProcess() const = 0;

  // Why a read failed (its rows are then missing); empty while all went well.
  const std::string& error() const { return error_; }
  // Why what was read is not handed out though the database answered (a backup's
  // bytes that no longer match its SHA-256); empty otherwise.
  const std::string& refused() const { return refused_; }

 protected:
  // The stored rows of the filter's module, image set and time, newest first,
  // with every column in table order.
  virtual std::vector<JobRow> StoredJobs(const JobFilter& filter) = 0;

  std::string error_;
  std::string refused_;
};

// The SELECT of the jobs a filter names, newest first: only the conditions the
// filter sets, so that each can use its index, with values numbered $1, ... in
// `values`. A station or an image set named leads the order (the rows all
// share it), so that the index on it gives them in order. `tie` orders rows
// that started in the same second.
struct JobsQuery {
  std::string sql;
  std::vector<std::string> values;
};
JobsQuery JobsQueryOf(const JobFilter& filter, const std::string& tie);

// "interrupted" for a row left running by a process that is gone; judged only
// for rows of this station, the one place where that process can be looked at.
std::string ShownResult(const std::string& result, const std::string& station, const std::string& pid,
                        const std::string& boot_id);

// The result shown for a row `result` whose RunningProcess() column is `process`.
std::string RunningResult(const std::string& result, const std::optional<std::string>& process);

// Failed, aborted or interrupted: a job that ended without its module done.
bool Unsuccessful(const std::string& result);

// The lower bound of --since as the tables store times: a date alone means from its first second on.
std::string SinceText(const std::string& since);

}  // namespace vekreport
