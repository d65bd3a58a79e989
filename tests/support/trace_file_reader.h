// Reads a protocol trace file back into records, as a support engineer's script would.
#pragma once

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <regex>
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

// "   12.345678" as the line's stamp, or false.
inline bool ParseStamp(const std::string& text, double& stamp) {
  static const std::regex kStamp(R"(^ *[0-9]+\.[0-9]{6}$)");
  if (!std::regex_match(text, kStamp)) return false;
  stamp = std::stod(text);
  return true;
}

inline int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "7E 06 4E" into bytes; false unless it is exactly pairs of upper-case hex digits
// separated by single spaces.
inline bool ParseHex(const std::string& text, std::vector<uint8_t>& bytes) {
  for (size_t i = 0; i < text.size(); i += 3) {
    if (i + 2 > text.size() || (i + 2 < text.size() && text[i + 2] != ' ')) return false;
    const int high = HexDigit(text[i]), low = HexDigit(text[i + 1]);
    if (high < 0 || low < 0) return false;
    bytes.push_back(static_cast<uint8_t>(high << 4 | low));
  }
  return true;
}

inline TraceFile ReadTraceFile(const std::string& path) {
  TraceFile file;
  std::ifstream in(path);
  std::string line;
  bool continuing = false;  // the previous hex line ended in [...]
  while (std::getline(in, line)) {
    TraceRecord record;
    const size_t stamp_end = line.find('.') == std::string::npos ? std::string::npos : line.find(' ', line.find('.'));
    bool good = stamp_end != std::string::npos && ParseStamp(line.substr(0, stamp_end), record.stamp) &&
                stamp_end + 1 < line.size() && std::string("<>#").find(line[stamp_end + 1]) != std::string::npos &&
                (stamp_end + 2 == line.size() || line[stamp_end + 2] == ' ');
    if (good) {
      record.direction = line[stamp_end + 1];
      if (stamp_end + 3 <= line.size()) record.body = line.substr(stamp_end + 3);
    }
    if (good && record.direction != '#' && (record.body.empty() || record.body[0] != '"')) {
      size_t notes_at = std::min(record.body.find('['), record.body.size());
      const bool has_notes = notes_at < record.body.size();
      const size_t hex_end = has_notes && notes_at > 0 ? notes_at - 1 : notes_at;  // the space before a note
      good = ParseHex(record.body.substr(0, hex_end), record.bytes) &&
             (!has_notes || notes_at == 0 || record.body[notes_at - 1] == ' ');
      while (good && notes_at < record.body.size()) {
        const size_t close = record.body.find(']', notes_at);
        good = record.body[notes_at] == '[' && close != std::string::npos;
        if (!good) break;
        record.notes.push_back(record.body.substr(notes_at + 1, close - notes_at - 1));
        notes_at = close + 1 < record.body.size() && record.body[close + 1] == ' ' ? close + 2 : close + 1;
      }
    }
    if (!good) {
      file.well_formed = false;
      file.bad_lines.push_back(line);
      continue;
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
