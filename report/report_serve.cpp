#include "report/report_serve.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>

#include "events/exit_status.h"
#include "report/report_pages.h"
#include "report/served_database.h"
#include "web/http_server.h"

namespace vekreport {

int Serve(const std::string& station_db, const std::string& line_db, const std::string& address) {
  // The signals are taken by a descriptor of their own, before the server's thread starts.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  const int signals = signalfd(-1, &stops, SFD_CLOEXEC);

  std::unique_ptr<ServedDatabase> db =
      line_db.empty() ? ServedDatabase::Station(station_db) : ServedDatabase::Line(line_db);
  auto log = [](const std::string& line) { std::cerr << "vek-report: " << line << std::endl; };
  ReportPages pages(*db, log);
  // The database is asked once before any request can be, so that one that
  // cannot be read is said at once.
  pages.Check();
  vekweb::HttpServer server;
  pages.Route(server);
  std::string reason;
  if (signals < 0 || !server.Start(address, reason)) {
    if (signals >= 0) close(signals);
    log("pages not served: " + (signals < 0 ? std::string("no signal descriptor") : reason));
    return vekevents::kReportFailed;
  }
  log("serving the pages of " + db->name() + " at http://" + address.substr(0, address.rfind(':') + 1) +
      std::to_string(server.port()) + "/");
  for (;;) {
    pollfd wait{signals, POLLIN, 0};
    if (poll(&wait, 1, -1) < 0 && errno != EINTR) break;
    signalfd_siginfo info{};
    if ((wait.revents & POLLIN) != 0 && read(signals, &info, sizeof info) == sizeof info) break;
  }
  close(signals);
  log("stopped");
  return vekevents::kReportDone;
}

}  // namespace vekreport
