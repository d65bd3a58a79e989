// Runs a program as its child and appends the child's own resource use to a
// file: what a parent that reaps its children itself (vek-factory) cannot tell
// per child. Placed under the program's name where the parent looks for it.
//
//   VEK_BENCH_CHILD_PROGRAM=/path/to/program VEK_BENCH_CHILD_USAGE=FILE bench_child_usage [ARG ...]
//
// Appends one line "pid exit_status user_s sys_s max_rss_kib own_user_s own_sys_s"
// (the last two are this wrapper's own, for the caller to leave out) with one
// write on an O_APPEND descriptor, so lines of wrappers running side by side
// never mix. Exits with the child's exit status (128 + the signal's number).
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

double Seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

}  // namespace

int main(int, char** argv) {
  const char* program = std::getenv("VEK_BENCH_CHILD_PROGRAM");
  const char* usage_file = std::getenv("VEK_BENCH_CHILD_USAGE");
  if (program == nullptr || usage_file == nullptr) {
    std::fprintf(stderr, "bench_child_usage: VEK_BENCH_CHILD_PROGRAM and VEK_BENCH_CHILD_USAGE must be set\n");
    return 127;
  }
  argv[0] = const_cast<char*>(program);
  const pid_t pid = fork();
  if (pid == 0) {
    execv(program, argv);  // descriptors (the parent's event pipe too) and signal dispositions pass on as they are
    _exit(127);
  }
  if (pid < 0) return 127;
  // Signals to the process group reach the child itself; the wrapper only waits.
  signal(SIGINT, SIG_IGN);
  signal(SIGTERM, SIG_IGN);
  int status = 0;
  rusage child {};
  pid_t reaped;
  do {
    reaped = wait4(pid, &status, 0, &child);
  } while (reaped < 0 && errno == EINTR);
  if (reaped != pid) return 127;
  const int exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  rusage own {};
  getrusage(RUSAGE_SELF, &own);
  char line[256];
  const int length = std::snprintf(line, sizeof line, "%d %d %.6f %.6f %ld %.6f %.6f\n", static_cast<int>(pid),
                                   exit_status, Seconds(child.ru_utime), Seconds(child.ru_stime), child.ru_maxrss,
                                   Seconds(own.ru_utime), Seconds(own.ru_stime));
  const int fd = open(usage_file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd >= 0 && length > 0) {
    (void)!write(fd, line, static_cast<size_t>(length));
    close(fd);
  }
  return exit_status;
}
