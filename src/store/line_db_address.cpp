#include "store/line_db_address.h"

#include <libpq-fe.h>

#include <algorithm>
#include <string_view>

namespace vek {
namespace {

bool Within(std::string_view text, std::string_view allowed_extra, bool digits_only = false) {
  return std::all_of(text.begin(), text.end(), [&](char c) {
    const bool digit = c >= '0' && c <= '9';
    if (digits_only) return digit;
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    return digit || letter || allowed_extra.find(c) != std::string_view::npos;
  });
}

// Each of a comma-separated list of values passes `check`.
template <typename Check>
bool EachOf(std::string_view list, Check check) {
  for (size_t start = 0;;) {
    const size_t comma = list.find(',', start);
    if (!check(list.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start)))
      return false;
    if (comma == std::string_view::npos) return true;
    start = comma + 1;
  }
}

// A database's name as written by someone who meant one: a quote or an "=" in
// it is a quote misplaced ("dbname='x password=PW'"), and the rest of the string
// may have gone into it.
bool DbNameLike(std::string_view name) { return name.find_first_of("@'\"=\\\t\r\n") == std::string_view::npos; }

// A host name, an IP address, or a folder of the server's socket.
bool HostLike(std::string_view host) {
  if (host.empty()) return true;
  if (host.front() == '/') return Within(host, "/._-+~");
  return Within(host, ".-_:%");
}

// A URI's own structure: one "@" at most before its host, none after it (libpq
// takes the first "@" or "/" as the end of the user's part, so a password with
// either spills over into the host or the database's name). The host ends at the
// first "/" only: "user:PW@leak?x=y@host/db" gives libpq the host "leak".
bool UriWellFormed(std::string_view uri) {
  const size_t scheme = uri.find("://");
  if (scheme == std::string_view::npos) return true;
  const std::string_view authority = uri.substr(scheme + 3, uri.find('/', scheme + 3) - scheme - 3);
  const std::string_view rest = uri.substr(scheme + 3, uri.find('?') == std::string_view::npos
                                                           ? std::string_view::npos
                                                           : uri.find('?') - scheme - 3);
  return std::count(authority.begin(), authority.end(), '@') <= 1 &&
         std::count(rest.begin(), rest.end(), '@') <= 1 &&
         (rest.find('@') == std::string_view::npos || rest.find('/') == std::string_view::npos ||
          rest.find('@') < rest.find('/'));
}

bool IsUri(std::string_view text) { return text.starts_with("postgresql://") || text.starts_with("postgres://"); }

}  // namespace

std::optional<LineDbAddress> ReadLineDbAddress(const std::string& conninfo) {
  if (IsUri(conninfo) && !UriWellFormed(conninfo)) return std::nullopt;
  char* error = nullptr;
  PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), &error);
  PQfreemem(error);  // its words may quote the string itself
  if (options == nullptr) return std::nullopt;
  LineDbAddress address;
  std::string hostaddr;
  for (PQconninfoOption* option = options; option->keyword != nullptr; ++option) {
    if (option->val == nullptr) continue;
    const std::string_view keyword = option->keyword;
    if (keyword == "host") address.host = option->val;
    if (keyword == "hostaddr") hostaddr = option->val;
    if (keyword == "port") address.port = option->val;
    if (keyword == "dbname") address.dbname = option->val;
    if (keyword == "service") address.service = option->val;
  }
  PQconninfoFree(options);
  if (address.host.empty()) address.host = hostaddr;
  const bool sound = EachOf(address.host, HostLike) && EachOf(hostaddr, HostLike) &&
                     EachOf(address.port, [](std::string_view port) { return Within(port, "", true); }) &&
                     Within(address.service, "._-") && DbNameLike(address.dbname);
  if (!sound) return std::nullopt;
  return address;
}

}  // namespace vek
