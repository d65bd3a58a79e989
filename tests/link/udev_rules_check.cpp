#include "udev_rules_check.h"

#include <algorithm>
#include <fnmatch.h>

#include <cctype>
#include <optional>
#include <set>

namespace vektest {
namespace {

enum class Attr { kNone, kOptional, kRequired };

struct KeyRule {
  std::string_view name;
  Attr attr;
  bool match;               // == and != allowed
  std::string_view assign;  // the assignment operators allowed, space-separated
};

// The keys of udev(7) and what each accepts.
constexpr KeyRule kKeys[] = {
    {"ACTION", Attr::kNone, true, ""},          {"DEVPATH", Attr::kNone, true, ""},
    {"KERNEL", Attr::kNone, true, ""},          {"KERNELS", Attr::kNone, true, ""},
    {"SUBSYSTEM", Attr::kNone, true, ""},       {"SUBSYSTEMS", Attr::kNone, true, ""},
    {"DRIVER", Attr::kNone, true, ""},          {"DRIVERS", Attr::kNone, true, ""},
    {"ATTRS", Attr::kRequired, true, ""},       {"TAGS", Attr::kNone, true, ""},
    {"TEST", Attr::kOptional, true, ""},        {"PROGRAM", Attr::kNone, true, ""},
    {"RESULT", Attr::kNone, true, ""},          {"CONST", Attr::kRequired, true, ""},
    {"NAME", Attr::kNone, true, "= += :="},     {"SYMLINK", Attr::kNone, true, "= += -= :="},
    {"ATTR", Attr::kRequired, true, "= :="},    {"SYSCTL", Attr::kRequired, true, "= :="},
    {"ENV", Attr::kRequired, true, "= += :="},  {"TAG", Attr::kNone, true, "= += -= :="},
    {"OWNER", Attr::kNone, false, "= :="},      {"GROUP", Attr::kNone, false, "= :="},
    {"MODE", Attr::kNone, false, "= :="},       {"SECLABEL", Attr::kRequired, false, "= += :="},
    {"RUN", Attr::kOptional, false, "= += -= :="}, {"LABEL", Attr::kNone, false, "="},
    {"GOTO", Attr::kNone, false, "="},          {"IMPORT", Attr::kRequired, false, "= += :="},
    {"OPTIONS", Attr::kNone, false, "= += :="},
};

const KeyRule* FindKey(std::string_view name) {
  for (const KeyRule& key : kKeys)
    if (key.name == name) return &key;
  return nullptr;
}

bool OperatorAllowed(std::string_view list, std::string_view op) {
  while (!list.empty()) {
    const size_t blank = list.find(' ');
    if (list.substr(0, blank) == op) return true;
    list = blank == std::string_view::npos ? std::string_view{} : list.substr(blank + 1);
  }
  return false;
}

struct Pair {
  std::string key;
  std::string attr;
  bool has_attr = false;
  std::string op;
  std::string value;
};

// One rule (its continuation lines joined) or the reason it does not parse.
class RuleParser {
 public:
  explicit RuleParser(std::string_view text) : text_(text) {}

  std::optional<std::vector<Pair>> Parse(std::string& error) {
    std::vector<Pair> pairs;
    for (;;) {
      SkipBlanks();
      if (AtEnd()) {
        if (pairs.empty() || expecting_pair_) {
          error = pairs.empty() ? "empty rule" : "a comma with nothing after it";
          return std::nullopt;
        }
        return pairs;
      }
      Pair pair;
      if (!ParsePair(pair, error)) return std::nullopt;
      pairs.push_back(std::move(pair));
      SkipBlanks();
      expecting_pair_ = false;
      if (AtEnd()) return pairs;
      if (text_[pos_] != ',') {
        error = "expected a comma after " + pairs.back().key;
        return std::nullopt;
      }
      ++pos_;
      expecting_pair_ = true;
    }
  }

 private:
  bool AtEnd() const { return pos_ >= text_.size(); }
  void SkipBlanks() {
    while (!AtEnd() && (text_[pos_] == ' ' || text_[pos_] == '\t')) ++pos_;
  }

  bool ParsePair(Pair& pair, std::string& error) {
    while (!AtEnd() && (std::isupper(static_cast<unsigned char>(text_[pos_])) || text_[pos_] == '_'))
      pair.key.push_back(text_[pos_++]);
    if (pair.key.empty()) {
      error = "expected a key at \"" + std::string(text_.substr(pos_, 12)) + "\"";
      return false;
    }
    if (!AtEnd() && text_[pos_] == '{') {
      const size_t close = text_.find('}', pos_);
      if (close == std::string_view::npos) {
        error = pair.key + ": { without }";
        return false;
      }
      pair.attr = std::string(text_.substr(pos_ + 1, close - pos_ - 1));
      pair.has_attr = true;
      pos_ = close + 1;
    }
    SkipBlanks();
    const size_t op_end = text_.find_first_not_of("=!+-:~<>", pos_);
    const std::string_view op = text_.substr(pos_, op_end == std::string_view::npos ? op_end : op_end - pos_);
    for (std::string_view known : {"==", "!=", "+=", "-=", ":=", "="})
      if (op == known) pair.op = std::string(op);
    pos_ += op.size();
    if (pair.op.empty()) {
      error = pair.key + ": expected one of == != = += -= :=";
      return false;
    }
    SkipBlanks();
    if (!AtEnd() && text_[pos_] == 'e') ++pos_;  // e"..." takes C escapes
    if (AtEnd() || text_[pos_] != '"') {
      error = pair.key + ": the value must be in double quotes";
      return false;
    }
    for (++pos_;; ++pos_) {
      if (AtEnd()) {
        error = pair.key + ": the value's closing quote is missing";
        return false;
      }
      if (text_[pos_] == '\\' && pos_ + 1 < text_.size()) {
        pair.value.push_back(text_[++pos_]);
        continue;
      }
      if (text_[pos_] == '"') break;
      pair.value.push_back(text_[pos_]);
    }
    ++pos_;
    return true;
  }

  std::string_view text_;
  size_t pos_ = 0;
  bool expecting_pair_ = false;
};

bool IsUsbId(const std::string& value) {
  return value.size() == 4 && std::all_of(value.begin(), value.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

bool IsFileMode(const std::string& value) {
  return (value.size() == 3 || value.size() == 4) &&
         std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '7'; });
}

// The meaning of each pair: known key, its {attr}, its operator, its value.
void CheckPair(const Pair& pair, std::string& error) {
  const KeyRule* key = FindKey(pair.key);
  if (key == nullptr) {
    error = "unknown key " + pair.key;
    return;
  }
  if (key->attr == Attr::kNone && pair.has_attr) error = pair.key + " takes no {attribute}";
  else if (key->attr == Attr::kRequired && (!pair.has_attr || pair.attr.empty())) error = pair.key + " needs an {attribute}";
  else if ((pair.op == "==" || pair.op == "!=") && !key->match) error = pair.key + " cannot be matched (" + pair.op + ")";
  else if (pair.op != "==" && pair.op != "!=" && !OperatorAllowed(key->assign, pair.op))
    error = key->assign.empty() ? pair.key + " only matches (== or !=), it cannot be assigned with " + pair.op
                                : pair.key + " does not take " + pair.op;
  else if ((pair.attr == "idVendor" || pair.attr == "idProduct") && !IsUsbId(pair.value))
    error = pair.key + "{" + pair.attr + "}: \"" + pair.value + "\" is not four lower-case hex digits";
  else if (pair.key == "MODE" && !IsFileMode(pair.value)) error = "MODE: \"" + pair.value + "\" is not an octal mode";
  else if ((pair.key == "LABEL" || pair.key == "GOTO") && pair.value.empty()) error = pair.key + " without a name";
}

struct Rule {
  int line = 0;
  std::string text;
};

// The rules of a file, continuation lines joined; a problem for a dangling one.
std::vector<Rule> RulesOf(std::string_view text, std::vector<UdevRuleProblem>& problems) {
  std::vector<Rule> rules;
  Rule current;
  bool continued = false;
  int number = 0;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    ++number;
    if (!continued) {
      const size_t first = line.find_first_not_of(" \t");
      if (first == std::string_view::npos || line[first] == '#') continue;
      current = Rule{number, {}};
    }
    continued = !line.empty() && line.back() == '\\';
    current.text += continued ? line.substr(0, line.size() - 1) : line;
    if (!continued) rules.push_back(current);
  }
  if (continued) problems.push_back({current.line, "the file ends in a line continuation"});
  return rules;
}

}  // namespace

std::vector<UdevRuleProblem> CheckUdevRules(std::string_view text) {
  std::vector<UdevRuleProblem> problems;
  std::vector<std::pair<int, std::string>> gotos;
  std::set<std::string> labels;
  for (const Rule& rule : RulesOf(text, problems)) {
    std::string error;
    RuleParser parser(rule.text);
    const auto pairs = parser.Parse(error);
    bool vendor = false, product = false;
    for (const Pair& pair : pairs.value_or(std::vector<Pair>{})) {
      if (error.empty()) CheckPair(pair, error);
      if (pair.key == "GOTO") gotos.emplace_back(rule.line, pair.value);
      if (pair.key == "LABEL") {
        labels.insert(pair.value);
        for (auto& [line, target] : gotos)
          if (target == pair.value) target.clear();  // resolved: udev jumps forwards only
      }
      vendor = vendor || pair.attr == "idVendor";
      product = product || pair.attr == "idProduct";
    }
    if (error.empty() && vendor != product) error = "idVendor and idProduct must be matched together";
    if (!error.empty()) problems.push_back({rule.line, error});
  }
  for (const auto& [line, target] : gotos)
    if (!target.empty()) problems.push_back({line, "GOTO \"" + target + "\" has no LABEL after it"});
  std::sort(problems.begin(), problems.end(),
            [](const UdevRuleProblem& a, const UdevRuleProblem& b) { return a.line < b.line; });
  return problems;
}

std::string ExampleRules(std::string_view text) {
  std::string rules;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    if (line.empty() || line.front() != '#') continue;
    line.remove_prefix(std::min(line.find_first_not_of("# \t"), line.size()));
    if (line.substr(0, 12) == "SUBSYSTEMS==") rules.append(line).append("\n");
  }
  return rules;
}

std::vector<std::pair<std::string, std::string>> MatchedUsbIds(std::string_view text) {
  std::vector<std::pair<std::string, std::string>> ids;
  std::vector<UdevRuleProblem> ignored;
  for (const Rule& rule : RulesOf(text, ignored)) {
    std::string error;
    RuleParser parser(rule.text);
    std::string vendor, product;
    for (const Pair& pair : parser.Parse(error).value_or(std::vector<Pair>{})) {
      if (pair.key != "ATTRS" && pair.key != "ATTR") continue;
      if (pair.attr == "idVendor") vendor = pair.value;
      if (pair.attr == "idProduct") product = pair.value;
    }
    if (!vendor.empty() && !product.empty()) ids.emplace_back(vendor, product);
  }
  return ids;
}

namespace {

bool Glob(const std::string& pattern, const std::string& value) {
  return fnmatch(pattern.c_str(), value.c_str(), 0) == 0;
}

std::string Lookup(const std::map<std::string, std::string>& map, const std::string& key) {
  const auto found = map.find(key);
  return found == map.end() ? std::string() : found->second;
}

// The keys that look at one device of the chain: all of them in a rule must
// match the same device, the event's own or one of its parents.
bool IsParentKey(const std::string& key) { return key == "SUBSYSTEMS" || key == "ATTRS" || key == "KERNELS"; }

bool MatchesParentKeys(const std::vector<Pair>& pairs, const UdevDevice& device) {
  for (const UdevDevice* node = &device; node != nullptr; node = node->parent) {
    bool all = true;
    for (const Pair& pair : pairs) {
      if (!IsParentKey(pair.key)) continue;
      const std::string value = pair.key == "SUBSYSTEMS" ? node->subsystem
                                : pair.key == "KERNELS"  ? node->kernel
                                                         : Lookup(node->attrs, pair.attr);
      const bool present = pair.key != "ATTRS" || node->attrs.count(pair.attr) > 0;
      if (!present || Glob(pair.value, value) != (pair.op == "==")) all = false;
    }
    if (all) return true;
  }
  return false;
}

}  // namespace

UdevOutcome ApplyUdevRules(const std::vector<std::string>& files, const UdevDevice& device) {
  UdevOutcome outcome;
  outcome.env = device.env;
  for (const std::string& file : files) {
    std::vector<UdevRuleProblem> ignored;
    std::string skip_to;  // a GOTO's label
    for (const Rule& rule : RulesOf(file, ignored)) {
      std::string error;
      RuleParser parser(rule.text);
      const std::vector<Pair> pairs = parser.Parse(error).value_or(std::vector<Pair>{});
      if (!skip_to.empty()) {
        for (const Pair& pair : pairs)
          if (pair.key == "LABEL" && pair.value == skip_to) skip_to.clear();
        continue;
      }
      bool matches = MatchesParentKeys(pairs, device);
      for (const Pair& pair : pairs) {
        if (pair.op != "==" && pair.op != "!=") continue;
        std::string value;
        if (pair.key == "ACTION") value = "add";
        else if (pair.key == "SUBSYSTEM") value = device.subsystem;
        else if (pair.key == "KERNEL") value = device.kernel;
        else if (pair.key == "ATTR") value = Lookup(device.attrs, pair.attr);
        else if (pair.key == "ENV") value = Lookup(outcome.env, pair.attr);
        else if (IsParentKey(pair.key)) continue;
        else outcome.problems.push_back("line " + std::to_string(rule.line) + ": cannot evaluate " + pair.key);
        if (Glob(pair.value, value) != (pair.op == "==")) matches = false;
      }
      if (!matches) continue;
      for (const Pair& pair : pairs) {
        if (pair.op == "==" || pair.op == "!=") continue;
        if (pair.key == "ENV") outcome.env[pair.attr] = pair.value;
        else if (pair.key == "TAG") outcome.tags.push_back(pair.value);
        else if (pair.key == "GROUP") outcome.group = pair.value;
        else if (pair.key == "MODE") outcome.mode = pair.value;
        else if (pair.key == "GOTO") skip_to = pair.value;
        else if (pair.key != "LABEL") outcome.problems.push_back("line " + std::to_string(rule.line) + ": cannot apply " + pair.key);
      }
    }
  }
  return outcome;
}

}  // namespace vektest
