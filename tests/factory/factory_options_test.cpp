// vek-factory's command line: a bad number is told in one plain line and ends
// the program with exit status 2, before anything else happens.
#include <gtest/gtest.h>

#include <sstream>

#include "factory/factory_options.h"

namespace {

struct Parsed {
  std::optional<int> status;
  std::string err;
  vekfactory::FactoryOptions options;
};

Parsed Parse(std::vector<std::string> args) {
  args.insert(args.begin(), "vek-factory");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  Parsed parsed;
  std::ostringstream err;
  parsed.status = vekfactory::ParseFactoryOptions(static_cast<int>(argv.size()), argv.data(), parsed.options, err);
  parsed.err = err.str();
  return parsed;
}

TEST(FactoryOptions, ABadNumberIsOnePlainLineAndExitStatusTwo) {
  const std::pair<std::vector<std::string>, std::string> bad[] = {
      {{"--jobs", "0"}, "vek-factory: --jobs expects a whole number of jobs from 1 to 256, not \"0\"\n"},
      {{"--jobs", "257"}, "vek-factory: --jobs expects a whole number of jobs from 1 to 256, not \"257\"\n"},
      {{"--count", "x"}, "vek-factory: --count expects a whole number of jobs from 1 to 1000000, not \"x\"\n"},
      {{"--count", "2.5"}, "vek-factory: --count expects a whole number of jobs from 1 to 1000000, not \"2.5\"\n"},
      {{"--timeout", "-1"}, "vek-factory: --timeout expects a number of seconds greater than 0"},
      {{"--timeout", "0"}, "vek-factory: --timeout expects a number of seconds greater than 0, not \"0\"\n"},
      {{"--timeout"}, "vek-factory: --timeout expects a number of seconds greater than 0"},
  };
  for (const auto& [args, said] : bad) {
    const Parsed parsed = Parse(args);
    SCOPED_TRACE(args.front() + " " + (args.size() > 1 ? args[1] : ""));
    EXPECT_EQ(parsed.status, 2);
    EXPECT_EQ(parsed.err.rfind(said, 0), 0u) << parsed.err;
    EXPECT_EQ(std::count(parsed.err.begin(), parsed.err.end(), '\n'), 1) << parsed.err;
  }
  // Any other mistake: CLI11's own words, still exit status 2.
  EXPECT_EQ(Parse({"--no-such-option"}).status, 2);
  EXPECT_EQ(Parse({"--product", "NOSUCH"}).status, 2);

  const Parsed good = Parse({"--jobs", "4", "--count", "12", "--timeout", "1.5", "--report", "r.jsonl"});
  EXPECT_FALSE(good.status) << good.err;
  EXPECT_EQ(good.options.jobs, 4u);
  EXPECT_EQ(good.options.count, 12u);
  EXPECT_EQ(good.options.timeout_seconds, 1.5);
  EXPECT_EQ(good.options.report, "r.jsonl");
  EXPECT_TRUE(good.err.empty());
}

}  // namespace
