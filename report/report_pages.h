// vek-report serve's pages and their API, routed on an HttpServer: the
// overview (/), the jobs (/jobs), a module (/module), an image set (/image-set),
// a module's NV backup as the file the restore reads (/module/nv) and /healthz.
// Each page is the one compiled-in HTML file, which reads its own address with
// ?format=json; the tables are there as ?format=csv as well. Everything is read
// only, through the ServedDatabase, on the server's thread.
#pragma once

#include <chrono>
#include <functional>

#include "web/http_server.h"
#include "report/served_database.h"

namespace vekreport {

// Requests of more rows than this are refused: a request's answer stays bounded.
inline constexpr int64_t kMostRowsAPage = 10000;
// A module page lists this many of its newest jobs.
inline constexpr int64_t kModuleJobsShown = 1000;

class ReportPages {
 public:
  using Clock = std::function<std::chrono::system_clock::time_point()>;
  // `log`: one line for the operator each time the database stops or starts answering.
  ReportPages(ServedDatabase& db, std::function<void(const std::string&)> log,
              Clock now = [] { return std::chrono::system_clock::now(); });

  void Route(vekweb::HttpServer& server);
  // Asks the database one question, as a page would; its failure is logged.
  void Check();

 private:
  vekweb::Reply Overview(const vekweb::Request& request);
  vekweb::Reply Jobs(const vekweb::Request& request);
  vekweb::Reply Module(const vekweb::Request& request);
  vekweb::Reply ImageSet(const vekweb::Request& request);
  vekweb::Reply NvFile(const vekweb::Request& request);
  // Runs `read`; false and `reply` set to the database's failure when it failed.
  bool Read(const std::function<void(RecordReader&)>& read, vekweb::Reply& reply);

  ServedDatabase& db_;
  std::function<void(const std::string&)> log_;
  Clock now_;
  bool failing_ = false;
};

}  // namespace vekreport
