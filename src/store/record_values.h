// A job's rows as values by column name, the one meeting place of the rows a job
// writes and the tables' columns: each database binds them in its own list's
// order (record_schema.h), so no statement counts its columns by hand.
#pragma once

#include <cstddef>
#include <string>

#include "store/record_schema.h"
#include "store/station_rows.h"

namespace vek {

// Every column of `jobs`; an empty text is NULL in both databases, as ever.
RecordRow JobValues(const StationJobRow& row);
// A column the row lacks leaves its member as it is made.
StationJobRow JobRowOf(const RecordRow& values);

// An image file of a job; a text goes as it is (the station stores an empty one as NULL).
RecordRow ImageFileValues(const std::string& job_id, size_t position, const ImageFileFacts& file);
ImageFileFacts ImageFileOf(const RecordRow& values);

// A backup without what each database adds of its own (first_of_module, station).
RecordRow NvBackupValues(const StationNvBackup& backup);
StationNvBackup NvBackupOf(const RecordRow& values);

}  // namespace vek
