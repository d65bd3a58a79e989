// A finished job as one structured entry of the systemd journal: what a
// station running vek-factory as a service keeps, and what its log forwarding
// carries off the box. Another view of the row its report line is made from.
// The fields are a stable interface (vek-factory(1), JOURNAL): fields may be
// added, never changed or removed.
#pragma once

#include <string>
#include <vector>

#include "factory/factory_row.h"

namespace vekfactory {

// Every finished job's entry carries it: journalctl MESSAGE_ID=961fbfe1542b495289d4a52a360d9c35
inline constexpr char kJobEndedMessageId[] = "961fbfe1542b495289d4a52a360d9c35";

// The entry of a finished row, "NAME=value" each: MESSAGE (one line), MESSAGE_ID,
// PRIORITY (by the result), SYSLOG_IDENTIFIER and every VEK_ field, empty when
// not known.
std::vector<std::string> JournalFields(const ModuleRow& row);

// Whether finished jobs go to the journal: always when `forced` (--journal),
// else when standard output is no terminal but the journal itself
// (JOURNAL_STREAM set, as systemd does for its service). Output sent to a file
// or a pipe elsewhere (a test, a shell) writes no entries.
bool JournalWanted(bool forced);

// Sends one entry (sd-journal); an empty text, or why it could not.
std::string SendJournalEntry(const std::vector<std::string>& fields);

}  // namespace vekfactory
