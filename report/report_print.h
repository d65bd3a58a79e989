// How vek-report shows what it read: aligned tables for a person, JSON lines
// (every column) for a script. Rows read from the line database (`from_line`)
// come from many stations: the tables name each row's station.
#pragma once

#include <ostream>
#include <vector>

#include "report/record_reader.h"

namespace vekreport {

void PrintJobsTable(std::ostream& out, const std::vector<JobRow>& jobs, bool from_line = false);
void PrintJobsJson(std::ostream& out, const std::vector<JobRow>& jobs);
void PrintNvBackups(std::ostream& out, const std::vector<NvBackupRow>& backups, bool from_line = false);
// One line for each job whose NV backup waits beside it for the database.
void PrintPendingBackups(std::ostream& out, const std::vector<JobRow>& jobs);
void PrintSummary(std::ostream& out, const Summary& summary);

}  // namespace vekreport
