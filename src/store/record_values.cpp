#include "store/record_values.h"

#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace vek {
namespace {

// The member of StationJobRow each column of `jobs` is kept in, by kind.
using JobMember = std::variant<std::string StationJobRow::*, std::optional<int64_t> StationJobRow::*,
                               double StationJobRow::*, int64_t StationJobRow::*>;

const std::pair<const char*, JobMember> kJobMembers[] = {
    {"id", &StationJobRow::id},
    {"started_utc", &StationJobRow::started_utc},
    {"ended_utc", &StationJobRow::ended_utc},
    {"station", &StationJobRow::station},
    {"program", &StationJobRow::program},
    {"vek_version", &StationJobRow::vek_version},
    {"usb_path", &StationJobRow::usb_path},
    {"port", &StationJobRow::port},
    {"imei", &StationJobRow::imei},
    {"meid", &StationJobRow::meid},
    {"product", &StationJobRow::product},
    {"version_before", &StationJobRow::version_before},
    {"version_after", &StationJobRow::version_after},
    {"image_set_sha256", &StationJobRow::image_set_sha256},
    {"nv_records", &StationJobRow::nv_records},
    {"nv_refused", &StationJobRow::nv_refused},
    {"result", &StationJobRow::result},
    {"failed_step", &StationJobRow::failed_step},
    {"text", &StationJobRow::text},
    {"exit_status", &StationJobRow::exit_status},
    {"duration_s", &StationJobRow::duration_s},
    {"folder", &StationJobRow::folder},
    {"log", &StationJobRow::log},
    {"pid", &StationJobRow::pid},
    {"boot_id", &StationJobRow::boot_id},
    {"nv_backup", &StationJobRow::nv_backup},
    {"attention", &StationJobRow::attention},
};

const RecordValue* Find(const RecordRow& values, const std::string& name) {
  const auto found = values.find(name);
  return found == values.end() ? nullptr : &found->second;
}

// As the station's statements read them: NULL is an empty text and a zero.
std::string TextIn(const RecordRow& values, const std::string& name) {
  const RecordValue* value = Find(values, name);
  if (value == nullptr) return {};
  if (const auto* text = std::get_if<std::string>(value)) return *text;
  return {};
}

std::optional<int64_t> IntegerIn(const RecordRow& values, const std::string& name) {
  const RecordValue* value = Find(values, name);
  if (value == nullptr) return std::nullopt;
  if (const auto* number = std::get_if<int64_t>(value)) return *number;
  if (const auto* real = std::get_if<double>(value)) return static_cast<int64_t>(*real);
  return std::nullopt;
}

double RealIn(const RecordRow& values, const std::string& name) {
  const RecordValue* value = Find(values, name);
  if (value == nullptr) return 0;
  if (const auto* real = std::get_if<double>(value)) return *real;
  if (const auto* number = std::get_if<int64_t>(value)) return static_cast<double>(*number);
  return 0;
}

}  // namespace

RecordRow JobValues(const StationJobRow& row) {
  RecordRow values;
  for (const auto& [name, member] : kJobMembers)
    values[name] = std::visit(
        [&](auto pointer) -> RecordValue {
          const auto& field = row.*pointer;
          using Field = std::decay_t<decltype(field)>;
          if constexpr (std::is_same_v<Field, std::string>) {
            if (field.empty()) return std::monostate{};
            return field;
          } else if constexpr (std::is_same_v<Field, std::optional<int64_t>>) {
            if (!field) return std::monostate{};
            return *field;
          } else {
            return field;
          }
        },
        member);
  return values;
}

StationJobRow JobRowOf(const RecordRow& values) {
  StationJobRow row;
  for (const auto& job_member : kJobMembers) {
    const auto& name = job_member.first;  // clang lets no lambda capture a structured binding
    if (Find(values, name) == nullptr) continue;
    std::visit(
        [&](auto pointer) {
          auto& field = row.*pointer;
          using Field = std::decay_t<decltype(field)>;
          if constexpr (std::is_same_v<Field, std::string>) field = TextIn(values, name);
          else if constexpr (std::is_same_v<Field, std::optional<int64_t>>) field = IntegerIn(values, name);
          else if constexpr (std::is_same_v<Field, double>) field = RealIn(values, name);
          else field = IntegerIn(values, name).value_or(0);
        },
        job_member.second);
  }
  return row;
}

RecordRow ImageFileValues(const std::string& job_id, size_t position, const ImageFileFacts& file) {
  return {{"job_id", job_id},
          {"position", static_cast<int64_t>(position)},
          {"name", file.name},
          {"size", static_cast<int64_t>(file.size)},
          {"sha256", file.sha256}};
}

ImageFileFacts ImageFileOf(const RecordRow& values) {
  return {TextIn(values, "name"), static_cast<uint64_t>(IntegerIn(values, "size").value_or(0)),
          TextIn(values, "sha256")};
}

RecordRow NvBackupValues(const StationNvBackup& backup) {
  return {{"sha256", backup.sha256}, {"module", backup.module},   {"job_id", backup.job_id},
          {"taken_utc", backup.taken_utc}, {"records", backup.records}, {"bytes", backup.bytes}};
}

StationNvBackup NvBackupOf(const RecordRow& values) {
  StationNvBackup backup{TextIn(values, "sha256"), TextIn(values, "module"), TextIn(values, "job_id"),
                         TextIn(values, "taken_utc"), IntegerIn(values, "records").value_or(0), {}};
  if (const RecordValue* bytes = Find(values, "bytes"))
    if (const auto* blob = std::get_if<std::vector<uint8_t>>(bytes)) backup.bytes = *blob;
  return backup;
}

}  // namespace vek
