#include "at/at_control_commands.h"

#include "at/at_exchange.h"
#include "at/at_reply.h"
#include "records/job_records.h"

namespace vek {
namespace {

constexpr const char* kCannotOpenAtPort = "Error: SentCpwrondCmd, can not open AT port!";
constexpr const char* kPowerOnDefaultOk = "AT+CPWROND=0, return OK!";
constexpr const char* kPowerOnDefaultError = "AT+CPWROND=0, return ERROR!";

}  // namespace

bool SentCpwrondCmd() {
  UpgradeJob& job = TheJob();
  char reply[kAtReplyBufferSize] = {};
  const AtTransfer transfer = AtTransact(TheDevice().at_port.load(), CommandBytes(kAtPowerOnDefault),
                                         CommandLength(kAtPowerOnDefault), kAtPowerOnDefaultWaitMs, reply,
                                         sizeof reply, false);
  if (!transfer.opened) {
    if (job.show_status) job.show_status("%s", kCannotOpenAtPort);
    if (job.write_log) job.write_log("%s", kCannotOpenAtPort);
    return false;
  }
  if (transfer.received == 0) return false;
  const std::string_view text = ReplyText(reply, sizeof reply);
  if (ReplyHas(text, "OK")) {
    if (job.write_log) job.write_log("%s", kPowerOnDefaultOk);
    return true;
  }
  if (ReplyHas(text, "ERROR")) {
    // The module knows the setting already or not at all: the download may go on.
    if (job.write_log) job.write_log("%s", kPowerOnDefaultError);
    return true;
  }
  return false;
}

bool AtRestoreDefaults(uint32_t port) {
  char reply[kAtRestoreReadSize + 1] = {};
  const AtTransfer transfer = AtTransact(port, CommandBytes(kAtRestoreFactory), CommandLength(kAtRestoreFactory),
                                         kAtRestoreFactoryWaitMs, reply, sizeof reply, false);
  return transfer.received > 0 && ReplyHas(ReplyText(reply, sizeof reply), "OK");
}

}  // namespace vek
