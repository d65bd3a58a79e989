#include "factory/factory_journal.h"

#include <sys/uio.h>
#include <syslog.h>
// The entries name no source file of this build (CODE_FILE and CODE_LINE).
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "events/event_schema.h"
#include "events/terminal_text.h"

namespace vekfactory {
namespace {


// A failure is an error, a stopped job a warning, a success with something to
// look at (NV items not backed up, no record kept) a notice.
int PriorityOf(const ModuleRow& row) {
  if (row.succeeded()) return row.nv_unread > 0 || row.record_written == false ? LOG_NOTICE : LOG_INFO;
  return row.Result() == vekevents::kAborted ? LOG_WARNING : LOG_ERR;
}

// "1-2.3 IMEI 356938035643809 ZX2180: ok, update version A to version B", one line.
std::string MessageOf(const ModuleRow& row) {
  std::string text = row.usb_path;
  if (!row.meid.empty()) text += " MEID " + row.meid;
  else if (!row.imei.empty()) text += " IMEI " + row.imei;
  if (!row.product.empty()) text += " " + row.product;
  text += ": " + (row.succeeded() ? std::string("ok") : row.Result());
  if (const std::string end = row.EndText(); !end.empty()) text += ", " + end;
  if (row.succeeded() && row.nv_unread > 0)
    text += "; " + std::to_string(row.nv_unread) + " NV item" + (row.nv_unread == 1 ? "" : "s") + " not backed up";
  if (row.record_written == false) text += "; not recorded: " + row.record_reason;
  // One line, blanks single ("update version  A" is padded for the log's columns).
  std::string line;
  for (char c : vekevents::ControlsAsBlanks(text)) {
    if (c != ' ' || line.empty() || line.back() != ' ') line += c;
  }
  return line;
}

}  // namespace

std::vector<std::string> JournalFields(const ModuleRow& row) {
  return {"MESSAGE=" + MessageOf(row),
          std::string("MESSAGE_ID=") + kJobEndedMessageId,
          "PRIORITY=" + std::to_string(PriorityOf(row)),
          "SYSLOG_IDENTIFIER=vek-factory",
          "VEK_USB_PATH=" + row.usb_path,
          "VEK_IMEI=" + row.imei,
          "VEK_MEID=" + row.meid,
          "VEK_PRODUCT=" + row.product,
          "VEK_VERSION_BEFORE=" + row.version_before,
          "VEK_VERSION_AFTER=" + row.version_after,
          "VEK_IMAGE_SET_SHA256=" + row.image_set_sha256,
          "VEK_RESULT=" + row.Result(),
          "VEK_FAILED_STEP=" + (row.succeeded() ? std::string() : row.failed_step),
          "VEK_EXIT_STATUS=" + std::to_string(row.exit_status.value_or(-1)),
          "VEK_RECORD_ID=" + (row.record_written == true ? row.record_id : std::string())};
}

bool JournalWanted(bool forced) {
  if (forced) return true;
  if (isatty(STDOUT_FILENO) == 1) return false;
  return std::getenv("JOURNAL_STREAM") != nullptr;
}

std::string SendJournalEntry(const std::vector<std::string>& fields) {
  std::vector<iovec> parts;
  for (const std::string& field : fields) parts.push_back({const_cast<char*>(field.data()), field.size()});
  const int status = sd_journal_sendv(parts.data(), static_cast<int>(parts.size()));
  return status < 0 ? std::strerror(-status) : "";
}

}  // namespace vekfactory
