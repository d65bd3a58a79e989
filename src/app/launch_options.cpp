#include "app/launch_options.h"

#include <limits>
#include <mutex>

#include "app/profile_file.h"
#include "records/job_records.h"

namespace vek {
namespace {

std::mutex options_mutex;
LaunchOptions loaded_options;

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

}  // namespace

int32_t DecimalValue(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  // Accumulate as a negative number so that the 32-bit minimum fits.
  constexpr int64_t kLowest = std::numeric_limits<int32_t>::min();
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 - (text[i] - '0');
    if (value < kLowest) value = kLowest;  // keep clamped; more digits cannot bring it back
  }
  if (!negative) value = value == kLowest ? std::numeric_limits<int32_t>::max() : -value;
  return static_cast<int32_t>(value);
}

LaunchOptions ReadLaunchOptions(const std::string& path) {
  LaunchOptions options;
  // One read per option, in the order the options are listed.
  options.backup = ReadProfileString(path, "backup", kLaunchOptionKey, options.backup, kLaunchOptionMaxLength);
  options.restore = ReadProfileString(path, "restore", kLaunchOptionKey, options.restore, kLaunchOptionMaxLength);
  options.download =
      ReadProfileString(path, "download", kLaunchOptionKey, options.download, kLaunchOptionMaxLength);
  options.erase_efs =
      ReadProfileString(path, "EraseEFS", kLaunchOptionKey, options.erase_efs, kLaunchOptionMaxLength);
  options.restore_vault =
      ReadProfileString(path, "restore", "vault", options.restore_vault, kLaunchOptionMaxLength);
  options.nv_window = ReadProfileString(path, "nv", "window", options.nv_window, kLaunchOptionMaxLength);
  options.line_database =
      ReadProfileString(path, "line", "database", options.line_database, kLineDatabaseMaxLength);
  return options;
}

std::string LaunchOptionsPath() { return CurrentDirectory() + "/" + kLaunchOptionsFileName; }

void LoadLaunchOptions() {
  LaunchOptions options = ReadLaunchOptions(LaunchOptionsPath());
  std::lock_guard lock(options_mutex);
  loaded_options = std::move(options);
}

LaunchOptions TheLaunchOptions() {
  std::lock_guard lock(options_mutex);
  return loaded_options;
}

}  // namespace vek
