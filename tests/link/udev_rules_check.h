// A checker for udev rules files, for the rules VEK installs: udev itself only
// checks a file (udevadm verify) from systemd 254 on, and a rule it cannot parse
// is skipped silently at run time, leaving the ports unreachable.
//
// It knows the rules grammar (comma-separated KEY[{attr}] OP "value" pairs,
// comments, backslash continuations), which keys exist, which take an {attr},
// which may be matched (== !=) and which assigned (= += -= :=), that GOTO has a
// LABEL after it, and that USB ids are four lower-case hex digits (udev compares
// them as text with sysfs, which writes them that way).
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vektest {

struct UdevRuleProblem {
  int line = 0;  // 1-based; a continued rule reports its first line
  std::string what;
};

std::vector<UdevRuleProblem> CheckUdevRules(std::string_view text);

// The rules documented as examples in the file's comments: comment lines whose
// text, after "#" and blanks, starts with SUBSYSTEMS== (the extension lines a
// user copies), uncommented, one rule per line.
std::string ExampleRules(std::string_view text);

// Every vendor:product pair a rule matches (ATTRS{idVendor} and ATTRS{idProduct}
// in one rule), as written, e.g. {"1234", "0001"}.
std::vector<std::pair<std::string, std::string>> MatchedUsbIds(std::string_view text);

// A device as udev sees it during an "add" event, with its parents.
struct UdevDevice {
  std::string subsystem;
  std::string kernel;
  std::map<std::string, std::string> attrs;
  std::map<std::string, std::string> env;
  const UdevDevice* parent = nullptr;
};

// What the rules left on a device.
struct UdevOutcome {
  std::map<std::string, std::string> env;
  std::vector<std::string> tags;
  std::string group;
  std::string mode;
  std::vector<std::string> problems;  // keys this evaluator does not handle
};

// Runs rules files (in the order given, as udev runs them by name) over an "add"
// event of `device`: the matches, ENV, TAG, GROUP, MODE, GOTO and LABEL of the
// files VEK installs; values compare as shell globs.
UdevOutcome ApplyUdevRules(const std::vector<std::string>& files, const UdevDevice& device);

}  // namespace vektest
