// A throwaway PostgreSQL server for the line database's tests: a cluster made
// with Debian's initdb in a temporary folder, listening only on a Unix socket
// there, with one password-protected role. Run by the postgres user when the
// tests run as root (the server refuses root), and stopped with the test.
#pragma once

#include <libpq-fe.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace vektest {

inline constexpr char kPgBin[] = "/usr/lib/postgresql/15/bin";

class PgCluster {
 public:
  // `port`: the socket's number (each test its own, so that clusters never meet).
  explicit PgCluster(int port) : port_(port) {
    const std::string password_file = dir_.File("password");
    std::ofstream(password_file) << kPassword << "\n";
    if (geteuid() == 0) {
      Run("chown -R postgres " + dir_.path());
      as_ = "runuser -u postgres -- ";
    }
    // UTF-8 whatever the test's locale, as a line's server is: it refuses text that is not.
    ready_ = Run(as_ + kPgBin + "/initdb -D " + dir_.File("data") + " -E UTF8 --locale=C.UTF-8 -A scram-sha-256 " +
                 "-U vek --pwfile=" + password_file + " >" + dir_.File("initdb.log") + " 2>&1") &&
             Start();
  }
  ~PgCluster() { Stop(); }

  bool ready() const { return ready_; }
  bool Start() {
    return Run(as_ + kPgBin + "/pg_ctl -D " + dir_.File("data") + " -l " + dir_.File("server.log") +
               " -w -o \"-k " + dir_.path() + " -p " + std::to_string(port_) + " -c listen_addresses=''\" start >/dev/null 2>&1");
  }
  bool Stop() {
    return Run(as_ + kPgBin + "/pg_ctl -D " + dir_.File("data") + " -w -m fast stop >/dev/null 2>&1");
  }
  // A libpq connection string for the role, with `password` (the right one by default).
  std::string Url(const std::string& password = kPassword) const {
    return "host=" + dir_.path() + " port=" + std::to_string(port_) + " user=vek dbname=postgres password=" + password;
  }

  // The first column of every row `sql` gives in `database` (empty when it fails).
  std::vector<std::string> Column(const std::string& sql, const std::string& database = "postgres") const {
    std::vector<std::string> values;
    PGconn* conn = PQconnectdb((Url() + " dbname=" + database).c_str());  // the last dbname holds
    PGresult* result = PQexec(conn, sql.c_str());
    for (int row = 0; PQresultStatus(result) == PGRES_TUPLES_OK && row < PQntuples(result); ++row)
      values.push_back(PQgetvalue(result, row, 0));
    PQclear(result);
    PQfinish(conn);
    return values;
  }

  static constexpr const char* kPassword = "line-secret-4711";

 private:
  static bool Run(const std::string& command) { return std::system(command.c_str()) == 0; }

  TempDir dir_;
  int port_;
  std::string as_;
  bool ready_ = false;
};

}  // namespace vektest
