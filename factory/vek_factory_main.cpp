// vek-factory: many modules at once, one vek-cli per module, each in its own
// folder of the working directory, shown in one table and reported line by line.
//
// Exit status: 0 every job succeeded; 1 a job failed (or was stopped); 2 usage
// error; 3 no job ran.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "device/session.h"
#include "events/exit_status.h"
#include "factory/factory.h"

namespace {

// vek-cli beside this program (as installed, and in the build tree), else on PATH.
std::string FindVekCli() {
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error) {
    const auto beside = self.parent_path() / "vek-cli";
    if (access(beside.c_str(), X_OK) == 0) return beside.string();
  }
  const char* path = getenv("PATH");
  std::string dirs = path != nullptr ? path : "";
  for (size_t start = 0; start <= dirs.size();) {
    const size_t end = std::min(dirs.find(':', start), dirs.size());
    const std::string candidate = dirs.substr(start, end - start) + "/vek-cli";
    if (end > start && access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return {};
}

std::string Absolute(const std::string& path) {
  return path.empty() ? path : std::filesystem::absolute(path).lexically_normal().string();
}

}  // namespace

int main(int argc, char** argv) {
  vekfactory::FactoryOptions options;
  if (auto status = vekfactory::ParseFactoryOptions(argc, argv, options)) return *status;
  vek::KeepFilesPrivate();
  const std::string vek_cli = FindVekCli();
  if (vek_cli.empty()) {
    std::fprintf(stderr, "vek-factory: vek-cli is neither beside vek-factory nor on PATH; no job was started\n");
    return vekevents::kExitNoJob;
  }
  // The jobs run in their own folders: every path they get is absolute.
  options.port_map = Absolute(options.port_map);
  options.images = Absolute(options.images);
  options.report = Absolute(options.report);
  // The line's connection string reaches the jobs in their environment, not on
  // their command lines, where any user's `ps` would show a password in it.
  // Set before any thread starts.
  if (!options.line_db.empty()) setenv("VEK_LINE_DB", options.line_db.c_str(), 1);
  // SIGINT and SIGTERM arrive through a descriptor the run polls; the jobs get
  // them only from vek-factory (they run in process groups of their own).
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
  const int signal_fd = signalfd(-1, &stop_signals, SFD_NONBLOCK | SFD_CLOEXEC);
  if (signal_fd < 0) {
    std::perror("vek-factory: signalfd");
    return vekevents::kExitNoJob;
  }
  signal(SIGPIPE, SIG_IGN);
  vek::ChoosePortSource(options.port_map);
  vekfactory::Factory factory(options, vek_cli, vek::Session::WorkingDirectory());
  const int status = factory.Run(signal_fd);
  close(signal_fd);
  return status;
}
