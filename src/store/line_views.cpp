#include "store/line_views.h"

namespace vek {

std::string LineViewsText() {
  // Times as timestamps, so that a dashboard's time filter applies; the job
  // counts under the words the tables keep. Finished: every result but running
  // and no_job (no module was there).
  return "CREATE OR REPLACE VIEW vek_jobs_per_hour AS\n"
         "  SELECT date_trunc('hour', started_utc::timestamptz) AS hour, station, result, count(*) AS jobs\n"
         "  FROM jobs GROUP BY 1, 2, 3;\n"
         "CREATE OR REPLACE VIEW vek_failures_by_step AS\n"
         "  SELECT date_trunc('day', started_utc::timestamptz) AS day, station,\n"
         "         coalesce(failed_step, '(none)') AS failed_step, count(*) AS jobs\n"
         "  FROM jobs WHERE result IN ('failed', 'aborted') GROUP BY 1, 2, 3;\n"
         "CREATE OR REPLACE VIEW vek_yield AS\n"
         "  SELECT date_trunc('day', started_utc::timestamptz) AS day, station,\n"
         "         coalesce(product, '(unknown)') AS product, count(*) AS finished,\n"
         "         count(*) FILTER (WHERE result = 'succeeded') AS succeeded,\n"
         "         round(count(*) FILTER (WHERE result = 'succeeded')::numeric / count(*), 4) AS yield\n"
         "  FROM jobs WHERE result NOT IN ('running', 'no_job') GROUP BY 1, 2, 3;\n";
}

}  // namespace vek
