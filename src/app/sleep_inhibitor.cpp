#include "app/sleep_inhibitor.h"

#include <fcntl.h>
#include <poll.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstring>

#include "records/stop_wait.h"
#include "records/time_scale.h"

namespace vek {
namespace {

constexpr char kWhat[] = "sleep:shutdown";
constexpr char kWho[] = "VEK";
constexpr char kWhy[] = "writing the module's flash";
constexpr char kMode[] = "block";

std::string ErrnoText(const char* what, int negative_errno) {
  return std::string(what) + ": " + std::strerror(-negative_errno);
}

// What the reply callback leaves behind.
struct InhibitReply {
  bool arrived = false;
  int fd = -1;
  std::string error;
};

int OnInhibitReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto* out = static_cast<InhibitReply*>(userdata);
  out->arrived = true;
  if (const sd_bus_error* error = sd_bus_message_get_error(reply)) {
    out->error = error->message != nullptr ? error->message : (error->name != nullptr ? error->name : "refused");
    return 0;
  }
  int fd = -1;
  const int r = sd_bus_message_read(reply, "h", &fd);
  if (r < 0) {
    out->error = ErrnoText("unreadable answer", r);
    return 0;
  }
  // The message owns its descriptor; the lock must outlive the message.
  out->fd = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (out->fd < 0) out->error = ErrnoText("descriptor", -errno);
  return 0;
}

// Drives the connection until the reply has arrived, the deadline has passed
// or the thread is asked to stop. Returns an empty text when the reply arrived.
std::string AwaitReply(sd_bus* bus, const InhibitReply& reply, Deadline deadline) {
  bool hung_up = false;
  while (!reply.arrived) {
    const int r = sd_bus_process(bus, nullptr);
    if (r < 0) return ErrnoText("system bus", r);
    if (r > 0) continue;  // more may be ready at once
    if (hung_up) return "system bus hung up";
    if (deadline.Passed()) return "no answer within " + std::to_string(kInhibitAnswerLimitMs / 1000) + " s";
    const int fd = sd_bus_get_fd(bus);
    const int events = sd_bus_get_events(bus);
    if (fd < 0) return ErrnoText("system bus", fd);
    if (events < 0) return ErrnoText("system bus", events);
    const WaitResult waited = (events & POLLOUT) ? WaitForOutput(fd, deadline) : WaitForInput(fd, deadline);
    if (waited == WaitResult::kStopped) return "stopped";
    hung_up = waited == WaitResult::kHungUp;  // one more round lets sd-bus see why
  }
  return "";
}

}  // namespace

std::string SleepInhibitor::Take() {
  if (held()) return "";
  const Deadline deadline = Deadline::At(Clock::now() + std::chrono::milliseconds(kInhibitAnswerLimitMs));
  sd_bus* bus = nullptr;
  // A connection of its own (not the thread's default bus): opened, used and
  // closed on this thread. It honours DBUS_SYSTEM_BUS_ADDRESS.
  int r = sd_bus_open_system(&bus);
  if (r < 0) return ErrnoText("system bus", r);
  sd_bus_set_method_call_timeout(bus, uint64_t{kInhibitAnswerLimitMs} * 1000);
  InhibitReply reply;
  sd_bus_slot* slot = nullptr;
  r = sd_bus_call_method_async(bus, &slot, "org.freedesktop.login1", "/org/freedesktop/login1",
                               "org.freedesktop.login1.Manager", "Inhibit", OnInhibitReply, &reply, "ssss", kWhat,
                               kWho, kWhy, kMode);
  std::string why_not = r < 0 ? ErrnoText("Inhibit", r) : AwaitReply(bus, reply, deadline);
  // No flush: a hung bus must not hold the job on the way out either.
  sd_bus_slot_unref(slot);
  sd_bus_close(bus);
  sd_bus_unref(bus);
  if (why_not.empty()) why_not = reply.error;
  if (!why_not.empty()) {
    if (reply.fd >= 0) ::close(reply.fd);
    return why_not;
  }
  fd_ = reply.fd;
  return "";
}

void SleepInhibitor::Release() {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
}

}  // namespace vek
