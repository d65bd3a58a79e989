// The fixture's job rows and NV backup rows, one after another in order of
// start; a seed gives the same rows whichever databases take them.
#pragma once

#include <cmath>
#include <string>
#include <vector>

#include "fixture_rows.h"

namespace fixture {

class JobMaker {
 public:
  JobMaker(const Settings& settings, const Plan& plan)
      : settings_(settings), plan_(plan), random_(Scatter(settings.seed ^ 0x6a6f6273ULL)),
        versions_(plan.pool, 0), row_(vek::JobsTable()) {
    for (size_t set = 0; set < kImageSets.size(); ++set) set_sha256_.push_back(ImageSetSha256(set));
  }

  // Job `job`'s row (jobs are made in order of start, from the first); a job
  // that takes one of the backups kept says so in `taken`.
  const TableRow& Make(uint64_t job, std::vector<TakenBackup>& taken) {
    next_place_ = 0;
    const int64_t start = plan_.starts[job];
    const uint32_t module = plan_.modules[job];
    const size_t product = ProductOf(module);
    const int station = static_cast<int>(Next(settings_.stations));
    const int usb = 1 + static_cast<int>(Next(32));
    const bool takes_backup = backup_at_ < plan_.backups.size() && plan_.backups[backup_at_].job == job;

    // How it ended: station-03 fails about 20 %, the others about 6 %, 2 % are aborted.
    const uint64_t draw = Next(1000);
    const uint64_t failing = station == kFailingStation ? 200 : 60;
    const char* result = draw < failing ? "failed" : draw < failing + 20 ? "aborted" : "succeeded";
    const bool succeeded = draw >= failing + 20;
    size_t step = succeeded ? kSteps.size() : WeightedStep();
    // A job whose backup is kept got past the backup.
    if (takes_backup && step <= kBackupStep) step = kRestoreStep;

    const size_t set = ImageSetFor(product, start);
    const std::string before = VersionName(product, versions_[module]);
    if (succeeded) versions_[module] = static_cast<uint8_t>(set + 1);

    const double speed = station == kSlowStation ? 1.25 : 1.0 + static_cast<double>((station * 37) % 11 - 5) / 100.0;
    // About 180 s ± 40 s for a whole job (the sum of two even draws), up to its step for the others.
    const double whole_ms = 140000.0 + static_cast<double>(Next(40001) + Next(40001));
    double duration_ms = whole_ms;
    if (!succeeded) {
      const double from = step == 0 ? 0.0 : kSteps[step - 1].ends_at;
      const double share = from + (kSteps[step].ends_at - from) * static_cast<double>(Next(1001)) / 1000.0;
      duration_ms = whole_ms * share + 10000.0;  // and the timeout that ended it
    }
    duration_ms = std::round(duration_ms * speed);
    const int64_t ended = start + static_cast<int64_t>(duration_ms / 1000.0);

    char id[33];
    std::snprintf(id, sizeof id, "%016llx%016llx", static_cast<unsigned long long>(Scatter(job ^ settings_.seed)),
                  static_cast<unsigned long long>(random_()));
    const std::string started_utc = UtcText(start);
    const std::string port = "/dev/ttyUSB" + std::to_string(3 * (usb - 1) + 2);
    const bool identified = succeeded || step > 0;  // the module answered
    const int64_t nv_records = 7992 + static_cast<int64_t>(Scatter(module) % 17);
    const bool backed_up = succeeded || step > kBackupStep;
    std::string folder = "/srv/vek/jobs/" + started_utc.substr(0, 10) + "/" + started_utc.substr(11, 2) +
                         started_utc.substr(14, 2) + started_utc.substr(17, 2) + "-3-1." + std::to_string(usb);

    Set("id", std::string(id));
    Set("started_utc", started_utc);
    Set("ended_utc", UtcText(ended));
    Set("station", StationName(station));
    Set("program", std::string("vek-factory"));
    Set("vek_version", std::string("1.0.0"));
    Set("usb_path", "3-1." + std::to_string(usb));
    Set("port", port);
    Set("imei", ImeiOf(module));
    Set("meid", {});
    Set("product", std::string(kProducts[product].name));
    Set("version_before", identified ? vek::RecordValue(before) : vek::RecordValue());
    Set("version_after", succeeded ? vek::RecordValue(std::string(kImageSets[set].version)) : vek::RecordValue());
    Set("image_set_sha256", set_sha256_[set]);
    Set("nv_records", backed_up ? vek::RecordValue(nv_records) : vek::RecordValue());
    Set("nv_refused", backed_up ? vek::RecordValue(int64_t{0}) : vek::RecordValue());
    Set("result", std::string(result));
    Set("failed_step", succeeded ? vek::RecordValue() : vek::RecordValue(std::string(kSteps[step].name)));
    Set("text", Text(succeeded, result, step, set, nv_records, port));
    Set("exit_status", int64_t{succeeded ? 0 : (result[0] == 'a' && Next(4) == 0) ? 143 : 1});
    Set("duration_s", duration_ms / 1000.0);
    Set("log", folder + "/vek.log");
    Set("folder", std::move(folder));
    Set("pid", {});
    Set("boot_id", {});
    Set("nv_backup", takes_backup ? vek::RecordValue(std::string("stored")) : vek::RecordValue());
    if (takes_backup) {
      taken.push_back({module, plan_.backups[backup_at_].newer, id, UtcText(start + 15), StationName(station)});
      ++backup_at_;
    }
    return row_;
  }

 private:
  uint64_t Next(uint64_t count) { return random_() % count; }

  // The columns are set in the same order for every row, so each one's place is
  // found once: a name compared for every column of a million rows would cost more
  // than the row.
  void Set(const char* column, vek::RecordValue value) {
    if (next_place_ == places_.size()) places_.push_back({column, row_.At(column)});
    const auto& [name, place] = places_[next_place_++];
    row_.values[name == column ? place : row_.At(column)] = std::move(value);
  }

  size_t WeightedStep() {
    int total = 0;
    for (const Step& step : kSteps) total += step.weight;
    int draw = static_cast<int>(Next(static_cast<uint64_t>(total)));
    for (size_t step = 0; step < kSteps.size(); ++step)
      if ((draw -= kSteps[step].weight) < 0) return step;
    return kRestoreStep;
  }

  size_t ImageSetFor(size_t product, int64_t start) const {
    const double share =
        static_cast<double>(start - plan_.first_day) / static_cast<double>(settings_.days * kDaySeconds);
    for (size_t set = 0; set < kImageSets.size(); ++set)
      if (kImageSets[set].product == product && share >= kImageSets[set].from && share < kImageSets[set].to) return set;
    return 0;
  }

  // 0: the version it came with; else the image set it got last, plus one.
  static std::string VersionName(size_t product, uint8_t version) {
    return version == 0 ? kProducts[product].factory_version : kImageSets[version - 1].version;
  }

  std::string Text(bool succeeded, const char* result, size_t step, size_t set, int64_t nv_records,
                   const std::string& port) {
    char text[160];
    if (succeeded) {
      std::snprintf(text, sizeof text, "upgraded to %s, %lld NV items restored", kImageSets[set].version,
                    static_cast<long long>(nv_records));
      return text;
    }
    if (result[0] == 'a')
      return std::string(Next(3) == 0 ? "stopped by vek-factory (SIGTERM)" : "aborted by the operator") + " during " +
             kSteps[step].name;
    static constexpr const char* kImages[] = {"sbl1.mbn",     "tz.mbn",       "rpm.mbn",
                                              "appsboot.mbn", "NON-HLOS.bin", "system.img"};
    switch (step) {
      case 0: return "no answer on " + port + " within 10 s";
      case 1:
        std::snprintf(text, sizeof text, "NV backup stopped: no answer to item %llu within 5 s",
                      static_cast<unsigned long long>(Next(8000)));
        return text;
      case 2: return "the module did not come back in download mode within 60 s";
      case 3: return "the programmer was not accepted: no hello within 5 s";
      case 4: return "the partition table was refused";
      case 5:
        std::snprintf(text, sizeof text, "writing %s stopped at %llu %%: no answer within 10 s", kImages[Next(6)],
                      static_cast<unsigned long long>(Next(100)));
        return text;
      case 6: return "erasing the EFS partition was refused";
      case 7: return "the module did not come back after its reset within 90 s";
      case 8:
        std::snprintf(text, sizeof text, "NV restore stopped after %llu of %lld items: the module stopped answering",
                      static_cast<unsigned long long>(Next(static_cast<uint64_t>(nv_records))),
                      static_cast<long long>(nv_records));
        return text;
      case 9: return "the module reports another IMEI after the download";
      case 10: return "restoring the defaults was refused";
      default: return "the module did not come back after its normal reset within 90 s";
    }
  }

  const Settings& settings_;
  const Plan& plan_;
  std::mt19937_64 random_;
  std::vector<uint8_t> versions_;  // each module's, as VersionName reads it
  std::vector<std::string> set_sha256_;
  size_t backup_at_ = 0;  // the next of plan_.backups
  TableRow row_;
  std::vector<std::pair<const char*, size_t>> places_;  // each Set's column and its place
  size_t next_place_ = 0;
};

// The bytes of a backup: 2 to 8 KiB, the same for a module and seed everywhere.
inline std::vector<uint8_t> BackupBytes(uint64_t seed, uint32_t module, bool newer) {
  std::mt19937_64 random(Scatter(seed ^ Scatter(2 * uint64_t{module} + (newer ? 1 : 0))));
  std::vector<uint8_t> bytes(2048 + random() % 6145);
  for (auto& byte : bytes) byte = static_cast<uint8_t>(random() >> 56);
  return bytes;
}

// The rows of a backup: in nv_backups and its link in nv_backup_modules.
struct BackupRows {
  explicit BackupRows(const TakenBackup& taken, uint64_t seed)
      : backup(vek::NvBackupsTable()), link(vek::NvBackupModulesTable()) {
    std::vector<uint8_t> bytes = BackupBytes(seed, taken.module, taken.newer);
    const std::string sha256 = Sha256Of(bytes.data(), bytes.size());
    const std::string module = ImeiOf(taken.module);
    const int64_t records = static_cast<int64_t>(bytes.size() / 136);
    backup.values[backup.At("sha256")] = sha256;
    backup.values[backup.At("module")] = module;
    backup.values[backup.At("job_id")] = taken.job_id;
    backup.values[backup.At("taken_utc")] = taken.taken_utc;
    backup.values[backup.At("records")] = records;
    backup.values[backup.At("first_of_module")] = int64_t{taken.newer ? 0 : 1};
    backup.values[backup.At("station")] = taken.station;
    backup.values[backup.At("bytes")] = std::move(bytes);
    link.values[link.At("sha256")] = sha256;
    link.values[link.At("module")] = module;
    link.values[link.At("job_id")] = taken.job_id;
    link.values[link.At("taken_utc")] = taken.taken_utc;
    link.values[link.At("station")] = taken.station;
  }
  TableRow backup, link;
};

}  // namespace fixture
