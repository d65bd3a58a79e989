// The launch options: four texts read once from "config.ini" in the working
// directory and turned into numbers only when a run starts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vek {

inline constexpr char kLaunchOptionsFileName[] = "config.ini";
inline constexpr char kLaunchOptionKey[] = "enable";
inline constexpr size_t kLaunchOptionMaxLength = 259;

// The value of the leading decimal number of `text`: leading blanks and an
// optional sign are skipped, digits are read up to the first non-digit, and text
// without a leading number gives 0 ("yes" gives 0, "2" gives 2). A number beyond
// the 32-bit range gives the nearest limit, so it can never pass for 1.
int32_t DecimalValue(std::string_view text);

struct LaunchOptions {
  std::string backup = "1";     // [backup] enable
  std::string restore = "1";    // [restore] enable
  std::string download = "1";   // [download] enable
  std::string erase_efs = "0";  // [EraseEFS] enable
  std::string restore_vault = "0";  // [restore] vault: a module without a backup gets its newest kept one
  std::string line_database;        // [line] database: the line's connection string
  std::string nv_window = "1";      // [nv] window: NV requests in flight, 1 to 16 or auto

  int32_t backup_enable() const { return DecimalValue(backup); }
  int32_t restore_enable() const { return DecimalValue(restore); }
  int32_t download_enable() const { return DecimalValue(download); }
  int32_t erase_efs_enable() const { return DecimalValue(erase_efs); }
  bool restore_from_vault() const { return DecimalValue(restore_vault) == 1; }
};

// A connection string is longer than a switch.
inline constexpr size_t kLineDatabaseMaxLength = 1023;

// Reads the options from the INI file at `path`; each missing file,
// section or key gives that option's default. Nothing is ever written.
LaunchOptions ReadLaunchOptions(const std::string& path);

// The path of "config.ini" in the current working directory.
std::string LaunchOptionsPath();

// Reads "config.ini" from the working directory and keeps the result for the
// life of the process (done once, when the program starts).
void LoadLaunchOptions();
// The options kept by LoadLaunchOptions (the defaults before it ran).
LaunchOptions TheLaunchOptions();

}  // namespace vek
