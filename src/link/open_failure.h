// Words an operator can act on when a port cannot be opened: why (permission,
// busy, gone) and the one thing to do about it. They go to standard error and,
// through the job's write_log, to the log file; the program's own texts about
// the failed open stay as they are. A port's reason is said once, and again
// only when it changes or a new job starts, however often the open is retried.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "link/process_scan.h"

namespace vek {

// Who may open the port's node, for a refused open (EACCES, EPERM).
struct PortAccessFacts {
  bool known = false;  // the node could be examined
  unsigned mode = 0;   // its permission bits
  std::string owner_name;
  std::string group_name;
  std::string user_name;               // the user this program runs as
  bool user_in_group = false;          // this process has the port's group now
  bool user_listed_in_group = false;   // the group database lists the user in it
  bool tagged_uaccess = false;         // udev gives the logged-in user access
};

// Who holds the port, for a busy one (EBUSY, or our lock refused).
struct PortHolderFacts {
  std::vector<ProcessInfo> holders;           // those that could be found
  std::optional<ProcessInfo> modem_manager;   // a modem manager that is running
};

struct OpenFailureFacts {
  PortAccessFacts access;
  PortHolderFacts busy;
};

struct OpenFailureWords {
  std::string reason;  // "cannot open /dev/ttyUSB0: permission denied: ..."
  std::string fix;     // what to do; empty when there is nothing to suggest
  // Both on one line, as standard error shows them.
  std::string Line() const { return fix.empty() ? reason : reason + "; " + fix; }
};

// The words for an open of `path` that failed with `error` (ENOTTY: the node is
// no serial port). `path` is untrusted and shown in printable characters only.
OpenFailureWords ExplainOpenFailure(std::string_view path, int error, const OpenFailureFacts& facts);

// Collects the facts the words for `error` need about `path` (for a busy port,
// by looking through `proc_root`). Costs a scan of the processes: failures only.
OpenFailureFacts GatherOpenFailureFacts(const std::string& path, int error,
                                        const std::string& proc_root = kProcRoot);

// Says why the open of `path` failed, on standard error and to the log hook,
// unless the same was already said for this port. Safe on every thread.
void ReportOpenFailure(const std::string& path, int error);

// Where ReportOpenFailure hands its entries besides standard error (the session
// puts them into the job's log): the cause, then the fix, one entry each. None:
// standard error only.
void SetOpenFailureLog(std::function<void(const std::string& entry)> log);

// Forgets what was said: the next failure of each port is said again (a new job).
void ForgetOpenFailures();

}  // namespace vek
