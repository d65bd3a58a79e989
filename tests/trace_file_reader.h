// Reads a protocol trace file back into records, as a support engineer's script would.
#pragma once

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace vektest {

struct TraceRecord {
  double stamp = 0;
  char direction = 0;         // '>', '<' or '#'
  std::string body;           // everything after the direction, notes included
  std::vector<uint8_t> bytes;  // hex lines: the bytes, continuation lines joined
  std::vector<std::string> notes;
};

struct TraceFile {
  bool well_formed = true;  // every line matched the line format
  std::vector<std::string> bad_lines;
  std::vector<TraceRecord> records;

  std::vector<TraceRecord> Of(char direction) const {
    std::vector<TraceRecord> out;
    for (const auto& record : records)
      if (record.direction == direction) out.push_back(record);
    return out;
  }
  bool HasStatus(const std::string& escaped_text) const {
    for (const auto& record : records)
      if (record.direction == '#' && record.body == "status: " + escaped_text) return true;
    return false;
  }
};

inline TraceFile ReadTraceFile(const std::string& path) {
  static const std::regex kLine(R"(^ *([0-9]+\.[0-9]{6}) ([<>#])(?: (.*))?$)");
  static const std::regex kHex(R"(^[0-9A-F]{2}$)");
  static const std::regex kNote(R"(\[([^\]]*)\])");
  TraceFile file;
  std::ifstream in(path);
  std::string line;
  bool continuing = false;  // the previous hex line ended in [...]
  while (std::getline(in, line)) {
    std::smatch match;
    if (!std::regex_match(line, match, kLine)) {
      file.well_formed = false;
      file.bad_lines.push_back(line);
      continue;
    }
    TraceRecord record;
    record.stamp = std::stod(match[1]);
    record.direction = match[2].str()[0];
    record.body = match[3];
    if (record.direction != '#' && (record.body.empty() || record.body[0] != '"')) {
      const size_t notes_at = std::min(record.body.find('['), record.body.size());
      std::istringstream tokens(record.body.substr(0, notes_at));
      std::string token;
      while (tokens >> token) {
        if (!std::regex_match(token, kHex)) {
          file.well_formed = false;
          file.bad_lines.push_back(line);
          break;
        }
        record.bytes.push_back(static_cast<uint8_t>(std::stoul(token, nullptr, 16)));
      }
      const std::string notes = record.body.substr(notes_at);
      for (std::sregex_iterator it(notes.begin(), notes.end(), kNote), end; it != end; ++it)
        record.notes.push_back((*it)[1]);
    }
    const bool continues = !record.notes.empty() && record.notes.back() == "...";
    if (continuing && !file.records.empty() && file.records.back().direction == record.direction) {
      TraceRecord& previous = file.records.back();
      previous.bytes.insert(previous.bytes.end(), record.bytes.begin(), record.bytes.end());
      previous.notes = record.notes;
    } else {
      file.records.push_back(record);
    }
    continuing = continues;
  }
  return file;
}

inline std::string HexText(const std::vector<uint8_t>& bytes) {
  std::string out;
  char digits[4];
  for (const uint8_t byte : bytes) {
    std::snprintf(digits, sizeof digits, "%s%02X", out.empty() ? "" : " ", byte);
    out += digits;
  }
  return out;
}

}  // namespace vektest
