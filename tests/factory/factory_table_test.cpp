#include "factory/factory_journal.h"
#include "factory/factory_table.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "events/terminal_text.h"

namespace vekfactory {

static bool HasControls(const std::string& text) {  // beside the line ends and the table's own sequences
  for (size_t at = 0; at < text.size(); at += vekevents::PieceAt(text, at).length)
    if (vekevents::PieceAt(text, at).control >= 0 && text[at] != '\n' && text.compare(at, 2, "\x1b[") != 0) return true;
  return text.find("\x1b[2J") != std::string::npos;
}

// C0 and C1 controls in a module's text (U+009B opens a sequence; as UTF-8 and as bare bytes) reach the
// table, live and plain, and the journal as blanks; the live table cuts a long line between two words.
TEST(FactoryTable, AModulesControlsNeverReachATerminalAndALongLineIsCutBetweenWords) {
  ModuleRow row{.usb_path = "3-1.2", .exit_status = 0};
  row.result_text = "update version V1\xC2\x9B" "2J\x9B" "2J\xC2\x9D" "0;x\x07\x1b[2J to version é1.1 ";
  for (int i = 0; i < 8; ++i) row.result_text += "ünë wörd ŏf mänÿ ";
  const std::string full = vekevents::ControlsAsBlanks(StatusTable::RowText(row, Clock::now()));
  for (const bool live : {false, true}) {
    char* bytes = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&bytes, &size);
    StatusTable(out, live).Show({&row}, Clock::now());
    std::fclose(out);
    const std::string shown(bytes, size), line = shown.substr(shown.rfind("\n3-1.2") + 1);
    std::free(bytes);
    EXPECT_FALSE(HasControls(shown)) << shown;
    const size_t cut = line.find("\u2026\x1b[K");  // between two words: a blank was there
    if (live) {
      EXPECT_EQ(line.substr(0, cut) + " ", full.substr(0, cut + 1));
    }
  }
  EXPECT_FALSE(HasControls(JournalFields(row).front()));
}

}  // namespace vekfactory
