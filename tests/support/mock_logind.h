// A private system bus with a mock logind on it, for the inhibitor lock: its own
// dbus-daemon and dbusmock's logind template extended with a history of the
// locks (logind_with_history.py), both child processes of the test. Queries open
// a connection of their own each, so any thread may make them.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <shared_mutex>
#include <string>
#include <vector>

#include "cli_process.h"
#include "test_paths.h"
#include "test_support.h"

namespace vektest {

// Debian's python3, the one python3-dbusmock installs into (not whatever python3
// comes first in a developer's PATH).
inline constexpr char kDebianPython[] = "/usr/bin/python3";
inline constexpr char kDbusDaemon[] = "/usr/bin/dbus-daemon";
inline constexpr char kLockTaken[] = "taken sleep:shutdown|VEK|writing the module's flash|block";
inline constexpr char kLockDropped[] = "dropped sleep:shutdown|VEK|writing the module's flash|block";

class MockLogind {
 public:
  MockLogind() = default;
  ~MockLogind() { Stop(); }
  MockLogind(const MockLogind&) = delete;
  MockLogind& operator=(const MockLogind&) = delete;

  // Starts the bus and the mock and waits until logind's name is owned. An empty
  // text on success, otherwise what went wrong (a missing dbusmock included).
  std::string Start() {
    const std::string config = dir_.File("bus.conf");
    std::ofstream(config) << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                             " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                             "<busconfig><type>vek-test</type><listen>unix:path="
                          << dir_.File("bus_socket")
                          << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                             "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                             "<allow own=\"*\"/></policy></busconfig>\n";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    int address_pipe[2];
    if (pipe2(address_pipe, O_CLOEXEC) != 0) return "pipe failed";
    daemon_ = Spawn({kDbusDaemon, "--config-file=" + config, "--nofork", "--print-address=3"}, {},
                    dir_.File("daemon.log"), address_pipe[1]);
    close(address_pipe[1]);
    address_ = ReadLine(address_pipe[0], deadline);
    close(address_pipe[0]);
    if (daemon_ < 0 || address_.empty()) return "dbus-daemon did not start: " + Log("daemon.log");
    mock_ = Spawn({kDebianPython, "-m", "dbusmock", "--template", TemplatePath()},
                  {"DBUS_SYSTEM_BUS_ADDRESS=" + address_}, dir_.File("mock.log"), -1);
    if (mock_ < 0) return "cannot start " + std::string(kDebianPython);
    return AwaitLogindName(deadline);
  }

  void Stop() {
    for (pid_t* pid : {&mock_, &daemon_}) {
      if (*pid <= 0) continue;
      kill(*pid, SIGKILL);
      while (waitpid(*pid, nullptr, 0) < 0 && errno == EINTR) {
      }
      *pid = -1;
    }
  }

  const std::string& address() const { return address_; }

  // The locks held now, as "WHAT|WHO|WHY|MODE".
  std::vector<std::string> Held() const {
    std::vector<std::string> out;
    Call("org.freedesktop.login1.Manager", "ListInhibitors", [&](sd_bus_message* reply) {
      if (sd_bus_message_enter_container(reply, 'a', "(ssssuu)") < 0) return;
      const char *what, *who, *why, *mode;
      uint32_t uid, pid;
      while (sd_bus_message_read(reply, "(ssssuu)", &what, &who, &why, &mode, &uid, &pid) > 0)
        out.push_back(std::string(what) + "|" + who + "|" + why + "|" + mode);
    });
    return out;
  }

  // Every lock taken and given back so far, in order (see logind_with_history.py).
  std::vector<std::string> History() const {
    std::vector<std::string> out;
    Call("org.freedesktop.DBus.Mock", "InhibitorHistory", [&](sd_bus_message* reply) {
      char** texts = nullptr;
      if (sd_bus_message_read_strv(reply, &texts) < 0 || texts == nullptr) return;
      for (char** text = texts; *text != nullptr; ++text) {
        out.emplace_back(*text);
        free(*text);
      }
      free(texts);
    });
    return out;
  }

  // The history once no lock is held any more (the mock learns of a release when
  // the holder's descriptor hangs up, a moment after it was closed, and then
  // signals it), or as it is after 10 s.
  std::vector<std::string> HistoryOnceNoneHeld() const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    sd_bus* bus = Open();
    if (bus != nullptr)
      sd_bus_match_signal(bus, nullptr, nullptr, "/org/freedesktop/login1", "org.freedesktop.DBus.Mock",
                          "InhibitorDropped", nullptr, nullptr);
    while (bus != nullptr && !Held().empty()) {
      const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      while (sd_bus_process(bus, nullptr) > 0) {
      }
      sd_bus_wait(bus, static_cast<uint64_t>(left.count()));
    }
    sd_bus_flush_close_unref(bus);
    return History();
  }

 private:
  static std::string TemplatePath() { return std::string(vektest::TestSourceDir()) + "/support/logind_with_history.py"; }

  std::string Log(const std::string& name) const {
    std::ifstream in(dir_.File(name));
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  // Starts `argv` with `env` added, its output into `log`, and `pass_fd` as fd 3.
  static pid_t Spawn(std::vector<std::string> argv, std::vector<std::string> env, const std::string& log,
                     int pass_fd) {
    env.push_back("PATH=/usr/bin:/bin");
    env.push_back("LANG=C.UTF-8");
    std::vector<char*> args, envp;
    for (auto& text : argv) args.push_back(text.data());
    for (auto& text : env) envp.push_back(text.data());
    args.push_back(nullptr);
    envp.push_back(nullptr);
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int null_in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (out < 0 || null_in < 0) return -1;
    std::shared_lock gate(ForkExecGate());  // see cli_process.h
    const pid_t pid = fork();
    if (pid == 0) {
      // Only async-signal-safe calls here.
      if (dup2(null_in, 0) < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0) _exit(127);
      if (pass_fd >= 0 && dup2(pass_fd, 3) < 0) _exit(127);
      close_range(pass_fd >= 0 ? 4 : 3, ~0U, 0);
      execve(args[0], args.data(), envp.data());
      _exit(127);
    }
    close(out);
    close(null_in);
    return pid;
  }

  static std::string ReadLine(int fd, std::chrono::steady_clock::time_point deadline) {
    std::string text;
    pollfd p{fd, POLLIN, 0};
    while (text.find('\n') == std::string::npos) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return "";
      char buffer[256];
      const ssize_t n = read(fd, buffer, sizeof buffer);
      if (n <= 0) return "";
      text.append(buffer, static_cast<size_t>(n));
    }
    return text.substr(0, text.find('\n'));
  }

  sd_bus* Open() const {
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0) return nullptr;
    if (sd_bus_set_address(bus, address_.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
        sd_bus_set_method_call_timeout(bus, 10'000'000) < 0 || sd_bus_start(bus) < 0) {
      sd_bus_unref(bus);
      return nullptr;
    }
    return bus;
  }

  template <typename Read>
  void Call(const char* interface, const char* method, Read read) const {
    sd_bus* bus = Open();
    if (bus == nullptr) return;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    if (sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1", interface, method, &error,
                           &reply, "") >= 0)
      read(reply);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    sd_bus_flush_close_unref(bus);
  }

  // Sleeps until org.freedesktop.login1 has an owner (woken by NameOwnerChanged),
  // the mock has died, or the deadline passes.
  std::string AwaitLogindName(std::chrono::steady_clock::time_point deadline) {
    sd_bus* bus = Open();
    if (bus == nullptr) return "cannot connect to the private bus at " + address_;
    sd_bus_match_signal(bus, nullptr, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                        "NameOwnerChanged", nullptr, nullptr);
    std::string result = "the mock logind did not appear within 30 s: " + Log("mock.log");
    for (;;) {
      int owned = 0;
      sd_bus_message* reply = nullptr;
      if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                             "NameHasOwner", nullptr, &reply, "s", "org.freedesktop.login1") >= 0)
        sd_bus_message_read(reply, "b", &owned);
      sd_bus_message_unref(reply);
      if (owned) {
        result.clear();
        break;
      }
      int status = 0;
      if (waitpid(mock_, &status, WNOHANG) == mock_) {
        result = std::string(kDebianPython) + " -m dbusmock ended (is python3-dbusmock installed?): " + Log("mock.log");
        mock_ = -1;
        break;
      }
      const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      // Woken by the signal; the mock's exit is seen at the latest 200 ms later.
      while (sd_bus_process(bus, nullptr) > 0) {
      }
      sd_bus_wait(bus, std::min<uint64_t>(static_cast<uint64_t>(left.count()), 200'000));
    }
    sd_bus_flush_close_unref(bus);
    return result;
  }

  TempDir dir_;
  std::string address_;
  pid_t daemon_ = -1;
  pid_t mock_ = -1;
};

}  // namespace vektest
