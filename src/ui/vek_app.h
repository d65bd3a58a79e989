// The desktop program's application object: one VEK per machine (shared with
// vek-cli), its options, and the main window run modally.
#pragma once

#include <QApplication>
#include <optional>
#include <string>

namespace vek {

struct VekOptions {
  std::string port_map;  // --port-map FILE: a port-map file instead of the system's ports
  std::string images;    // --images DIR: the image folder (default: the working directory)
};

// The options after Qt has taken its own; an exit status (2) on a usage error
// or after --help/--version (0).
std::optional<int> ParseVekOptions(const QStringList& arguments, VekOptions& options);

class CVEKApp : public QApplication {
  Q_OBJECT

 public:
  CVEKApp(int& argc, char** argv);

  // Refuses a second instance ("VEK has been running", exit status 0), otherwise
  // runs the main window until it is closed. Returns the process's exit status.
  int InitInstance();
};

}  // namespace vek
