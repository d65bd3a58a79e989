#include "link/open_failure.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "link/modem_manager.h"

namespace vek {
namespace {

constexpr size_t kMaxShownPath = 128;

constexpr char kRulesFix[] = "install VEK's udev rules (70-vek.rules) which give the logged-in user access";
// A port tagged uaccess is given to the user of the active local session only
// (not to a remote login, nor to a session that is in the background).
constexpr char kUaccessFix[] = "run VEK from the active local session, which udev gives the port to (uaccess)";

static_assert(std::string_view(kRulesFix).find(kUdevRulesName) != std::string_view::npos);

// Port names are untrusted: control characters never reach a terminal or the log.
std::string Printable(std::string_view text) {
  std::string shown;
  for (char c : text.substr(0, kMaxShownPath))
    shown += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? '?' : c;
  if (text.size() > kMaxShownPath) shown += "...";
  return shown;
}

std::string ModeText(unsigned mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", mode & 07777u);
  return text;
}

OpenFailureWords PermissionWords(const std::string& path, const PortAccessFacts& facts) {
  const std::string opening = "cannot open " + path + ": permission denied";
  const std::string rules_fix = facts.tagged_uaccess ? kUaccessFix : kRulesFix;
  if (!facts.known) return {opening, rules_fix};
  const std::string group = Printable(facts.group_name);
  const std::string user = Printable(facts.user_name);
  const std::string owner = Printable(facts.owner_name);
  const std::string mode = "(mode " + ModeText(facts.mode) + ")";
  const bool group_may_open = (facts.mode & 060u) == 060u;
  if (!group_may_open)
    return {opening + ": the port belongs to " + owner + ":" + group + " " + mode + ", which lets only " + owner +
                " open it",
            rules_fix};
  if (facts.user_in_group)
    return {opening + " although user " + user + " is in the port's group " + group + " " + mode +
                ": an access rule refuses it",
            rules_fix};
  if (facts.user_listed_in_group)
    return {opening + ": the port belongs to group " + group + " " + mode + " and user " + user +
                " was added to it after this session began",
            "log out and in again (or start VEK under `newgrp " + group + "`)"};
  std::string fix = "add the user with `sudo usermod -aG " + group + " " + user + "` and log in again";
  fix += std::string(", or ") + rules_fix;
  return {opening + ": the port belongs to group " + group + " " + mode + " and user " + user + " is not in it", fix};
}

std::string Named(const ProcessInfo& process) {
  return (process.comm.empty() ? std::string("a program") : process.comm) + " (pid " + std::to_string(process.pid) +
         ")";
}

std::string StopFix(const ModemManagerService& service) {
  return std::string("install VEK's udev rules (") + kUdevRulesName + ") or run `" + service.stop_command + "`";
}

OpenFailureWords BusyWords(const std::string& path, const PortHolderFacts& facts) {
  const std::string opening = "port " + path + " is busy: held by ";
  if (facts.holders.empty()) {
    OpenFailureWords words{opening + "another program", ""};
    if (facts.modem_manager) {
      if (const ModemManagerService* service = ModemManagerNamed(facts.modem_manager->comm))
        words.fix = Named(*facts.modem_manager) + " is running and may be probing it: " + StopFix(*service);
    }
    return words;
  }
  std::string holders;
  const ModemManagerService* service = nullptr;
  for (const ProcessInfo& holder : facts.holders) {
    holders += (holders.empty() ? "" : ", ") + Named(holder);
    if (service == nullptr) service = ModemManagerNamed(holder.comm);
  }
  return {opening + holders, service ? StopFix(*service) : "close it there, then try again"};
}

}  // namespace

OpenFailureWords ExplainOpenFailure(std::string_view raw_path, int error, const OpenFailureFacts& facts) {
  const std::string path = Printable(raw_path);
  switch (error) {
    case EACCES:
    case EPERM:
      return PermissionWords(path, facts.access);
    case EBUSY:
    case EWOULDBLOCK:
      return BusyWords(path, facts.busy);
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return {"cannot open " + path + ": the port is gone (the module was unplugged or is re-enumerating)", ""};
    case ENOTTY:
      return {"cannot use " + path + ": it is not a serial port", ""};
    default:
      return {"cannot open " + path + ": " + std::strerror(error), ""};
  }
}

}  // namespace vek
