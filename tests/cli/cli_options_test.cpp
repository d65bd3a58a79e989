#include "cli/cli_options.h"
#include "events/exit_status.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Parsed {
  std::optional<int> status;
  vekcli::CliOptions options;
  std::string err;
};

Parsed Parse(std::vector<std::string> args) {
  args.insert(args.begin(), "vek-cli");
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  Parsed parsed;
  std::ostringstream err;
  parsed.status = vekcli::ParseCliOptions(static_cast<int>(argv.size()), argv.data(), parsed.options, err);
  parsed.err = err.str();
  return parsed;
}

std::string TimeoutLine(const std::string& shown) {
  return "vek-cli: --timeout expects a number of seconds greater than 0, not \"" + shown + "\"\n";
}

// --module takes a USB port path or a COM port's name, and nothing else.
TEST(CliModuleOption, TakesAUsbPortPathOrAComPortAndRefusesTheRestInPlainWords) {
  for (const std::string where : {"1-2.3", "12-1.10.4", "COM7"}) {
    const Parsed parsed = Parse({"--module", where});
    EXPECT_FALSE(parsed.status.has_value()) << where << ": " << parsed.err;
    EXPECT_EQ(parsed.options.module, where);
  }
  EXPECT_TRUE(Parse({}).options.module.empty());
  const std::string expects = "vek-cli: --module expects a USB port path such as 1-2.3 or a port such as COM7";
  for (const std::string where : {"", "1-", "COM0", "com7", "COM7 ", "1-2/../../x", "/dev/ttyUSB0"}) {
    const Parsed parsed = Parse({"--module", where});
    EXPECT_EQ(parsed.status, vekevents::kExitUsage) << where;
    EXPECT_EQ(parsed.err, expects + ", not \"" + where + "\"\n");
  }
  const Parsed missing = Parse({"--module"});
  EXPECT_EQ(missing.status, vekevents::kExitUsage);
  EXPECT_EQ(missing.err, expects + "\n");
}

TEST(CliTimeoutOption, TakesAnyNumberOfSecondsGreaterThanZero) {
  EXPECT_FALSE(Parse({}).options.timeout_seconds.has_value());
  for (const auto& [text, seconds] : std::vector<std::pair<std::string, double>>{
           {"30", 30}, {"0.5", 0.5}, {"1e3", 1000}, {"--timeout=7", 7}}) {
    const Parsed parsed = text.rfind("--", 0) == 0 ? Parse({text}) : Parse({"--timeout", text});
    EXPECT_FALSE(parsed.status.has_value()) << text << ": " << parsed.err;
    EXPECT_EQ(parsed.options.timeout_seconds, seconds) << text;
  }
}

TEST(CliTimeoutOption, AnythingElseIsOneLineNamingTheOptionAndWhatItExpects) {
  for (const std::string text : {"abc", "", "0", "-3", "5s", "nan", "inf", "1e999", "0x"}) {
    const Parsed parsed = Parse({"--timeout", text});
    EXPECT_EQ(parsed.status, vekevents::kExitUsage) << text;
    EXPECT_EQ(parsed.err, TimeoutLine(text));
  }
  for (const auto& args : std::vector<std::vector<std::string>>{{"--timeout"}, {"--timeout="}}) {
    const Parsed parsed = Parse(args);
    EXPECT_EQ(parsed.status, vekevents::kExitUsage) << args[0];
    EXPECT_EQ(parsed.err, "vek-cli: --timeout expects a number of seconds greater than 0\n");
  }
  // The text is shown on that one line, however it looks.
  const Parsed odd = Parse({"--timeout", "1\n2\"" + std::string(60, 'x')});
  EXPECT_EQ(odd.status, vekevents::kExitUsage);
  EXPECT_EQ(odd.err, TimeoutLine("1\\x0A2\\\"" + std::string(36, 'x') + "..."));
}

TEST(CliTimeoutOption, TheDeadlineIsTheTimeoutFromNowOrNeverForAnEndlessOne) {
  const Clock::time_point now = Clock::now();
  vekcli::CliOptions options;
  EXPECT_EQ(vekcli::DeadlineOf(options, now), Clock::time_point::max());
  options.timeout_seconds = 2.5;
  EXPECT_EQ(vekcli::DeadlineOf(options, now), now + std::chrono::milliseconds(2500));
  // Too far ahead for the clock's count: no deadline rather than an overflow.
  for (double seconds : {1e10, 1e300}) {
    options.timeout_seconds = seconds;
    EXPECT_EQ(vekcli::DeadlineOf(options, now), Clock::time_point::max()) << seconds;
  }
}

}  // namespace
