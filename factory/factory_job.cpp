#include "factory/factory_job.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "events/event_reader.h"
#include "events/exit_status.h"

namespace vekfactory {
namespace {

constexpr int kEventsFd = 3;
// A line longer than this is no event of vek-cli's: it is dropped, not kept growing.
constexpr size_t kLongestLine = 1 << 16;

// Between fork() and exec(): only calls that are safe in a child of a threaded process.
[[noreturn]] void RunChild(const char* program, char* const argv[], const char* folder, int events_write,
                           pid_t parent) {
  setpgid(0, 0);
  prctl(PR_SET_PDEATHSIG, SIGTERM);  // vek-factory gone: stop cleanly, as on a SIGTERM
  if (getppid() != parent) _exit(vekevents::kExitNotStarted);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  signal(SIGPIPE, SIG_DFL);
  if (chdir(folder) != 0) _exit(vekevents::kExitNotStarted);
  const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  // The job's words are the operator's alone: one left by an earlier run is made so too.
  const int out = open("vek-cli.out", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (in < 0 || out < 0 || fchmod(out, 0600) != 0) _exit(vekevents::kExitNotStarted);
  if (dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0) _exit(vekevents::kExitNotStarted);
  // dup2 onto itself keeps close-on-exec: the pipe may already be descriptor 3.
  if (events_write == kEventsFd ? fcntl(kEventsFd, F_SETFD, 0) < 0 : dup2(events_write, kEventsFd) < 0) _exit(vekevents::kExitNotStarted);
  execv(program, argv);
  _exit(vekevents::kExitNotStarted);
}

}  // namespace

std::unique_ptr<FactoryJob> FactoryJob::Start(const std::string& program, const std::vector<std::string>& args,
                                              ModuleRow row, std::string& error) {
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
    error = std::string("no pipe for the events: ") + std::strerror(errno);
    return nullptr;
  }
  std::vector<std::string> words{program};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) RunChild(program.c_str(), argv.data(), row.folder.c_str(), pipe_fds[1], parent);
  close(pipe_fds[1]);
  if (pid < 0) {
    close(pipe_fds[0]);
    error = std::string("cannot start vek-cli: ") + std::strerror(errno);
    return nullptr;
  }
  setpgid(pid, pid);  // also here: a signal sent before the child ran must reach its group
  fcntl(pipe_fds[0], F_SETFL, fcntl(pipe_fds[0], F_GETFL) | O_NONBLOCK);
  row.started = Clock::now();
  return std::unique_ptr<FactoryJob>(new FactoryJob(pid, pipe_fds[0], std::move(row)));
}

FactoryJob::~FactoryJob() {
  if (events_fd_ >= 0) close(events_fd_);
  if (!row_.finished()) {
    // Only on the way out of vek-factory itself: the job is told to stop.
    kill(-pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
}

bool FactoryJob::ReadEvents() {
  if (events_fd_ < 0) return false;
  char buffer[8192];
  bool arrived = false;
  for (;;) {
    const ssize_t n = read(events_fd_, buffer, sizeof buffer);
    if (n > 0) {
      pending_.append(buffer, static_cast<size_t>(n));
      TakeLines();
      arrived = true;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return arrived;
    close(events_fd_);  // the end of the stream, or a broken pipe
    events_fd_ = -1;
    return true;
  }
}

void FactoryJob::TakeLines() {
  size_t start = 0;
  for (size_t end; (end = pending_.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::optional<nlohmann::json> event =
        vekevents::ReadEvent(std::string_view(pending_).substr(start, end - start));
    if (!event) continue;
    ApplyEvent(row_, *event);
    if (on_event_) on_event_(row_);
  }
  pending_.erase(0, start);
  if (pending_.size() > kLongestLine) pending_.clear();
}

bool FactoryJob::Reap() {
  if (row_.finished()) return true;
  int status = 0;
  pid_t reaped;
  do {
    reaped = waitpid(pid_, &status, WNOHANG);
  } while (reaped < 0 && errno == EINTR);
  if (reaped == 0) return false;
  // Whatever it wrote before it ended is in the pipe already.
  ReadEvents();
  if (reaped < 0) row_.exit_status = vekevents::kExitFailed;  // not ours any more: counts as failed
  else if (WIFEXITED(status)) row_.exit_status = WEXITSTATUS(status);
  else row_.exit_status = vekevents::ExitStatusOfSignal(WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  row_.ended = Clock::now();
  row_.ended_utc = std::chrono::system_clock::now();
  return true;
}

void FactoryJob::Signal(int signal) const {
  if (!row_.finished()) kill(-pid_, signal);
}

}  // namespace vekfactory
