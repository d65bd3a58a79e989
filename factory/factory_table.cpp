#include "factory/factory_table.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include "events/event_schema.h"
#include "events/terminal_text.h"

namespace vekfactory {
namespace {

constexpr size_t kDefaultWidth = 120;

std::string Column(std::string text, size_t width) {
  if (text.size() > width) text.resize(width);
  text.resize(width, ' ');
  return text + " ";
}

// A column that is never cut: a warning in the result must be read whole.
std::string WholeColumn(std::string text, size_t width) {
  if (text.size() < width) text.resize(width, ' ');
  return text + " ";
}

std::string ResultOfJob(const ModuleRow& row) {
  if (!row.finished()) return "";
  if (row.succeeded() && row.nv_unread > 0)
    return "ok, " + std::to_string(row.nv_unread) + " NV item" + (row.nv_unread == 1 ? "" : "s") + " not backed up";
  if (row.succeeded()) return "ok";
  return (row.outcome.empty() ? std::string(vekevents::kFailed) : row.outcome) + "(" + std::to_string(*row.exit_status) + ")";
}

std::string Elapsed(double seconds) {
  const auto whole = static_cast<long>(seconds);
  char text[48];
  std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
  return text;
}

std::string ResultOf(const ModuleRow& row) {
  if (!row.finished()) return "";
  if (row.record_written == false) return ResultOfJob(row) + ", not recorded";
  return ResultOfJob(row);
}

// A line for a terminal: no control characters, so the module's text cannot move the cursor.
std::string Printable(const std::string& text) { return vekevents::ControlsAsBlanks(text); }

// A line cut to `width` characters for the live table, "…" where it was cut:
// at the last blank when one is near, so that a long version is not cut
// mid-word, else between two characters, never inside one.
void FitLine(std::string& line, size_t width) {
  const auto starts_character = [&](size_t i) { return (static_cast<unsigned char>(line[i]) & 0xC0) != 0x80; };
  size_t characters = 0, cut = 0;  // `cut`: the byte where the width less one character ends
  for (size_t i = 0; i < line.size(); ++i) {
    if (!starts_character(i)) continue;
    if (characters == width - 1) cut = i;
    if (++characters > width) break;
  }
  if (characters <= width || width == 0) return;
  const size_t blank = line.rfind(' ', cut);
  if (blank != std::string::npos && blank > 0 && cut - blank <= width / 4) cut = blank;
  line.resize(cut);
  line += "\u2026";
}

}  // namespace

StatusTable::StatusTable(FILE* out, bool live) : out_(out), live_(live) {
  if (live_) std::fputs("\x1b[?25l", out_);  // no cursor flying about while the frame is drawn
}

StatusTable::~StatusTable() {
  if (live_) std::fputs("\x1b[?25h", out_);
  std::fflush(out_);
}

std::string StatusTable::HeaderText() {
  return Column("USB PATH", 10) + Column("PORT", 8) + Column("IMEI/MEID", 15) + Column("PRODUCT", 10) +
         Column("%", 4) + Column("TIME", 6) + Column("RESULT", 10) + "STATUS";
}

std::string StatusTable::RowText(const ModuleRow& row, Clock::time_point now) {
  const std::string percent = row.percent >= 0 && !row.finished() ? std::to_string(row.percent) : "";
  return Column(row.usb_path, 10) + Column(row.port, 8) + Column(row.meid.empty() ? row.imei : row.meid, 15) +
         Column(row.product, 10) + Column(percent, 4) + Column(Elapsed(row.seconds(now)), 6) +
         WholeColumn(ResultOf(row), 10) + (row.finished() ? row.EndText() : row.status);
}

size_t StatusTable::Width() const {
  winsize size{};
  if (ioctl(fileno(out_), TIOCGWINSZ, &size) == 0 && size.ws_col > 1) return size.ws_col - 1;
  return kDefaultWidth;
}

void StatusTable::Show(const std::vector<const ModuleRow*>& rows, Clock::time_point now) {
  if (live_) {
    Redraw(rows, now);
    return;
  }
  for (size_t i = 0; i < rows.size(); ++i) Changed(i, *rows[i], now);
}

void StatusTable::Redraw(const std::vector<const ModuleRow*>& rows, Clock::time_point now) {
  const size_t width = Width();
  std::string frame;
  if (drawn_lines_ > 0) frame += "\x1b[" + std::to_string(drawn_lines_) + "F";  // to the frame's first line
  std::vector<std::string> lines{HeaderText()};
  for (const ModuleRow* row : rows) lines.push_back(Printable(RowText(*row, now)));
  for (std::string& line : lines) {
    FitLine(line, width);
    frame += line + "\x1b[K\n";  // the rest of the old line goes
  }
  frame += "\x1b[J";  // and the old frame's lines below, if it was longer
  drawn_lines_ = lines.size();
  std::fwrite(frame.data(), 1, frame.size(), out_);
  std::fflush(out_);
}

void StatusTable::Changed(size_t index, const ModuleRow& row, Clock::time_point now) {
  if (live_) return;
  if (last_said_.size() <= index) last_said_.resize(index + 1);
  const std::string progress = row.percent >= 0 ? std::to_string(row.percent / 10 * 10) + "%" : "";
  const std::string said = row.status + "|" + progress + "|" + ResultOf(row);
  if (said == last_said_[index]) return;
  last_said_[index] = said;
  std::fprintf(out_, "%s\n", Printable(RowText(row, now)).c_str());
  std::fflush(out_);
}

void StatusTable::Say(const std::string& text) {
  if (live_ && drawn_lines_ > 0) {
    // Above the table: the frame is drawn again below the line.
    std::fprintf(out_, "\x1b[%zuF\x1b[J%s\n", drawn_lines_, Printable(text).c_str());
    drawn_lines_ = 0;
  } else {
    std::fprintf(out_, "%s\n", Printable(text).c_str());
  }
  std::fflush(out_);
}

}  // namespace vekfactory
