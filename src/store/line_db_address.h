// Where a line database's connection string points, read the way libpq reads it
// and checked the way libpq does not: a password written with a bare "@" or "/"
// in a URI is misread by libpq as a host, a port or a database name, and would
// then be named in every message about the line. Such a string, and one libpq
// cannot read at all, is never named and never used.
#pragma once

#include <optional>
#include <string>

namespace vek {

// What every text says of a connection string that cannot be read safely.
inline constexpr const char* kUnreadableLineDbText = "the line database (its connection string cannot be read)";

struct LineDbAddress {
  std::string host, port, dbname, service;  // as libpq parsed them; empty when not given
};

// The parts a message may name; nothing when libpq cannot parse `conninfo` or
// when a part it parsed is not what such a part can be.
std::optional<LineDbAddress> ReadLineDbAddress(const std::string& conninfo);

}  // namespace vek
