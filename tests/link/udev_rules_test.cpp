// The udev rules VEK installs: their syntax, what they do to a module's ports,
// and that their USB ids agree with the role table and the install guide.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "test_paths.h"
#include "udev_rules_check.h"

namespace {

using vektest::ApplyUdevRules;
using vektest::CheckUdevRules;
using vektest::UdevDevice;
using IdSet = std::set<std::pair<std::string, std::string>>;

std::string ReadSource(const std::string& relative) {
  std::ifstream in(std::string(vektest::SourceDir()) + "/" + relative);
  EXPECT_TRUE(in) << relative;
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string InstalledRules() { return ReadSource("packaging/70-vek.rules"); }
std::string LocalRulesExample() { return ReadSource("packaging/69-vek-local.rules.example"); }

std::string Describe(const std::vector<vektest::UdevRuleProblem>& problems) {
  std::string text;
  for (const auto& problem : problems) text += "line " + std::to_string(problem.line) + ": " + problem.what + "\n";
  return text;
}

TEST(UdevRulesSyntax, InstalledFilesAndTheirDocumentedExamplesParse) {
  for (const std::string& file : {InstalledRules(), LocalRulesExample()}) {
    EXPECT_EQ(Describe(CheckUdevRules(file)), "");
    const std::string examples = vektest::ExampleRules(file);
    EXPECT_FALSE(examples.empty()) << "each file documents the line that adds a module";
    EXPECT_EQ(Describe(CheckUdevRules(examples)), "");
  }
}

TEST(UdevRulesSyntax, AcceptsTheWholeGrammar) {
  const char* good =
      "# comment\n"
      "\n"
      "ACTION!=\"add|change\", GOTO=\"x_end\"\n"
      "SUBSYSTEM==\"tty\", KERNEL==\"ttyUSB[0-9]*\", \\\n"
      "  ATTRS{idVendor}==\"1e0e\" , ATTRS{idProduct}==\"9001\", SYMLINK+=\"modem%n\", TAG-=\"x\"\n"
      "ENV{A}:=\"1\", RUN{builtin}+=\"uaccess\", IMPORT{builtin}=\"path_id\", OWNER=\"root\", MODE=\"0600\"\n"
      "TEST{0644}==\"/x\", ATTR{power/control}=\"auto\", PROGRAM==\"/bin/true\", NAME=e\"a\\tb\"\n"
      "LABEL=\"x_end\"\n";
  EXPECT_EQ(Describe(CheckUdevRules(good)), "");
}

// Each broken rule is reported, on its line, with the reason.
TEST(UdevRulesSyntax, ReportsEachBrokenRule) {
  const struct {
    const char* rule;
    const char* reason;
  } cases[] = {
      {"SUBSYSTEM==\"tty\", MODEL==\"x\"", "unknown key MODEL"},
      {"SUBSYSTEM==\"tty, MODE=\"0660\"", "expected a comma"},
      {"SUBSYSTEM==\"tty", "closing quote is missing"},
      {"SUBSYSTEM==tty", "double quotes"},
      {"SUBSYSTEM==\"tty\" MODE=\"0660\"", "expected a comma after SUBSYSTEM"},
      {"SUBSYSTEM==\"tty\",", "a comma with nothing after it"},
      {"SUBSYSTEM=~\"tty\"", "expected one of"},
      {"ATTRS{idVendor}=\"1234\", ATTRS{idProduct}==\"0001\"", "ATTRS only matches"},
      {"SUBSYSTEM=\"tty\"", "SUBSYSTEM only matches"},
      {"MODE==\"0660\"", "MODE cannot be matched"},
      {"GROUP+=\"dialout\"", "GROUP does not take +="},
      {"ENV=\"1\"", "ENV needs an {attribute}"},
      {"ENV{}=\"1\"", "ENV needs an {attribute}"},
      {"SUBSYSTEM{x}==\"tty\"", "SUBSYSTEM takes no {attribute}"},
      {"ATTRS{idVendor==\"1234\"", "{ without }"},
      {"ATTRS{idVendor}==\"ABCD\", ATTRS{idProduct}==\"0001\"", "\"ABCD\" is not four lower-case hex digits"},
      {"ATTRS{idVendor}==\"1234\", ATTRS{idProduct}==\"001\"", "\"001\" is not four lower-case hex digits"},
      {"ATTRS{idVendor}==\"1234\", ENV{VEK_MODULE}=\"1\"", "idVendor and idProduct must be matched together"},
      {"MODE=\"0866\"", "not an octal mode"},
      {"GOTO=\"nowhere\"", "has no LABEL after it"},
      {"LABEL=\"back\"\nGOTO=\"back\"", "has no LABEL after it"},
      {"SUBSYSTEM==\"tty\", \\", "ends in a line continuation"},
  };
  for (const auto& sample : cases) {
    const std::string text = std::string("# a comment line\n") + sample.rule + "\n";
    const auto problems = CheckUdevRules(text);
    ASSERT_EQ(problems.size(), 1u) << sample.rule << "\n" << Describe(problems);
    EXPECT_NE(problems[0].what.find(sample.reason), std::string::npos) << sample.rule << ": " << problems[0].what;
    EXPECT_GE(problems[0].line, 2) << sample.rule;
  }
}

// A USB module the way the kernel shows it: device, interface, the serial
// driver's port (usb-serial only) and the tty.
struct Module {
  UdevDevice usb, interface, port, tty;
  Module(const std::string& vendor, const std::string& product, bool usb_serial) {
    usb = {"usb", "1-2", {{"idVendor", vendor}, {"idProduct", product}}, {}, nullptr};
    interface = {"usb", "1-2:1.0", {{"bInterfaceNumber", "00"}}, {}, &usb};
    port = {"usb-serial", "ttyUSB0", {}, {}, &interface};
    tty = {"tty", usb_serial ? "ttyUSB0" : "ttyACM0", {{"dev", "188:0"}}, {}, usb_serial ? &port : &interface};
  }
};

void ExpectModulePort(const vektest::UdevOutcome& outcome, const std::string& what) {
  EXPECT_EQ(outcome.env.count("ID_MM_DEVICE_IGNORE") ? outcome.env.at("ID_MM_DEVICE_IGNORE") : "", "1") << what;
  EXPECT_EQ(outcome.tags, std::vector<std::string>{"uaccess"}) << what;
  EXPECT_EQ(outcome.group, "dialout") << what;
  EXPECT_EQ(outcome.mode, "0660") << what;
  EXPECT_TRUE(outcome.problems.empty()) << what << ": " << outcome.problems.front();
}

TEST(UdevRulesEffect, ModulePortsAreOpenToTheUserAndHiddenFromModemManager) {
  const std::vector<std::string> rules{InstalledRules()};
  for (const auto& [product, usb_serial] : {std::pair{"0001", true}, std::pair{"4001", true}, std::pair{"0001", false}}) {
    const Module module("1234", product, usb_serial);
    const std::string what = std::string("1234:") + product + (usb_serial ? " ttyUSB" : " ttyACM");
    ExpectModulePort(ApplyUdevRules(rules, module.tty), what);
    // The USB device is marked too (ModemManager looks there as well), but its
    // own node keeps its permissions: only the ttys are opened.
    const auto device = ApplyUdevRules(rules, module.usb);
    EXPECT_EQ(device.env.count("ID_MM_DEVICE_IGNORE"), 1u) << what;
    EXPECT_TRUE(device.tags.empty() && device.group.empty() && device.mode.empty()) << what;
  }
}

TEST(UdevRulesEffect, OtherDevicesAreLeftAloneUntilTheUserListsThem) {
  const Module other("abcd", "12ef", true);
  const auto untouched = ApplyUdevRules({InstalledRules()}, other.tty);
  EXPECT_TRUE(untouched.env.empty() && untouched.tags.empty() && untouched.group.empty() && untouched.mode.empty());

  // The documented extension: the example line in a file that sorts first.
  const std::string local = vektest::ExampleRules(LocalRulesExample());
  ExpectModulePort(ApplyUdevRules({local, InstalledRules()}, other.tty), "a module the user added");
  const Module another("abcd", "0001", true);
  EXPECT_TRUE(ApplyUdevRules({local, InstalledRules()}, another.tty).tags.empty()) << "the product id counts too";
}

IdSet RulesIds() {
  const auto ids = vektest::MatchedUsbIds(InstalledRules());
  return IdSet(ids.begin(), ids.end());
}

// The ids listed in the install guide's table of the module family's USB ids.
IdSet InstallGuideIds() {
  const std::string readme = ReadSource("docs/install.md");
  const size_t start = readme.find("## The modules' USB ids");
  EXPECT_NE(start, std::string::npos) << "docs/install.md: the section of the USB ids";
  const size_t end = readme.find("\n#", start + 4);
  const std::string section = readme.substr(start, end == std::string::npos ? end : end - start);
  IdSet ids;
  const std::regex id("`([0-9a-f]{4}):([0-9a-f]{4})`");
  for (auto it = std::sregex_iterator(section.begin(), section.end(), id); it != std::sregex_iterator(); ++it)
    ids.emplace((*it)[1], (*it)[2]);
  return ids;
}

// The vendor:product ids of the built-in role table's entries.
IdSet RoleTableIds() {
  const std::string source = ReadSource("src/link/usb_role_table.cpp");
  IdSet ids;
  const std::regex entry(R"(\{0x([0-9A-Fa-f]{4}), 0x([0-9A-Fa-f]{4}), \d+, ")");
  for (auto it = std::sregex_iterator(source.begin(), source.end(), entry); it != std::sregex_iterator(); ++it) {
    std::string vendor = (*it)[1], product = (*it)[2];
    for (char& c : vendor) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (char& c : product) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    ids.emplace(vendor, product);
  }
  return ids;
}

TEST(UdevRulesIds, AgreeWithTheInstallGuideAndTheRoleTable) {
  const IdSet rules = RulesIds();
  EXPECT_EQ(rules.size(), 2u);
  EXPECT_EQ(rules, InstallGuideIds()) << "docs/install.md lists the ids the rules match";
  const IdSet roles = RoleTableIds();
  EXPECT_FALSE(roles.empty());
  for (const auto& id : roles)
    EXPECT_EQ(rules.count(id), 1u) << id.first << ":" << id.second << " has a role but no udev rule";
}

}  // namespace
