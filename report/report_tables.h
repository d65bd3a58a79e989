// The tables of vek-report as data for other programs: a job as the JSON object
// `vek-report jobs --json` prints, and the pages' tables as JSON and as CSV.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "report/record_reader.h"

namespace vekreport {

// Every column of the job but how a running row is judged (pid, boot_id).
nlohmann::ordered_json JobJson(const JobRow& job);
nlohmann::ordered_json JobsJson(const std::vector<JobRow>& jobs);
nlohmann::ordered_json NvBackupsJson(const std::vector<NvBackupRow>& backups);

// RFC 4180: a header of the JSON's names, then a line a row; NULL is an empty field.
std::string JobsCsv(const std::vector<JobRow>& jobs);
std::string NvBackupsCsv(const std::vector<NvBackupRow>& backups);

// JSON as text: bytes that are not UTF-8 (a module's texts) replaced, never thrown at.
std::string JsonText(const nlohmann::ordered_json& json);

}  // namespace vekreport
