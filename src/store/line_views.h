// The line's questions as views of its database, for dashboard tools that chart
// PostgreSQL (and for SQL by hand): jobs per hour, failures by step, yield.
// Made or remade by vek-report line-init; VEK's own programs never read them.
#pragma once

#include <string>

namespace vek {

// CREATE OR REPLACE VIEW for each; idempotent.
std::string LineViewsText();

}  // namespace vek
