// How vek-report shows what it read: aligned tables for a person, JSON lines
// (every column) for a script.
#pragma once

#include <ostream>
#include <vector>

#include "report/record_reader.h"

namespace vekreport {

void PrintJobsTable(std::ostream& out, const std::vector<JobRow>& jobs);
void PrintJobsJson(std::ostream& out, const std::vector<JobRow>& jobs);
void PrintNvBackups(std::ostream& out, const std::vector<NvBackupRow>& backups);
void PrintSummary(std::ostream& out, const Summary& summary);

}  // namespace vekreport
