// vek-factory's command line: a bad number is told in one plain line and ends
// the program with exit status 2, before anything else happens.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "factory/factory_options.h"
#include "test_support.h"

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

// The options file sets what the command line leaves out; any mistake in it is
// told with the file's name and line, exit status 2, before anything runs.
TEST(FactoryOptions, TheOptionsFileSetsWhatTheCommandLineLeavesOut) {
  vektest::TempDir dir;
  const auto with_file = [&](const std::string& text, std::vector<std::string> args) {
    std::ofstream(dir.File("factory.conf")) << text;
    args.insert(args.begin(), {"--config", dir.File("factory.conf")});
    return Parse(args);
  };
  const Parsed parsed = with_file(
      "# the station\n  jobs = 4\nreport = \"/var/lib/vek/my report.jsonl\"\nrestore-default = yes\n"
      "erase-on-mismatch = false\nno-station-db = true ; none\nline-db = host=line dbname=vek\n",
      {"--jobs", "2", "--station-db", "s.db"});
  ASSERT_FALSE(parsed.status) << parsed.err;
  EXPECT_EQ(parsed.options.jobs, 2u);  // the command line wins, also over an option it excludes
  EXPECT_TRUE(parsed.options.station_db == "s.db" && !parsed.options.no_station_db);
  EXPECT_EQ(parsed.options.report, "/var/lib/vek/my report.jsonl");
  EXPECT_TRUE(parsed.options.restore_default && !parsed.options.erase_on_mismatch);
  EXPECT_EQ(parsed.options.line_db, "host=line dbname=vek");

  const std::pair<std::string, std::string> bad[] = {
      {"jobs = 4\nimagez = /srv\n", "factory.conf: line 2: no option \"imagez\""},
      {"jobs = 4\njobs = 5\n", "factory.conf: line 2: jobs is given twice"},
      {"[factory]\njobs = 4\n", "factory.conf: line 2: \"jobs\" is in a section [factory]"},
      {"restore-default = maybe\n", "factory.conf: line 1: restore-default expects true or false"},
      {"config = other.conf\n", "factory.conf: line 1: no option \"config\""},
      {"just words\n", "factory.conf: line 1: not \"key = value\""},
      {"jobs = 0\n", "factory.conf: --jobs expects a whole number of jobs from 1 to 256, not \"0\""},
      {"report = " + std::string(300, 'r') + "\n", "factory.conf: line 1: longer than"}};
  for (const auto& [text, said] : bad) {
    const Parsed refused = with_file(text, {});
    EXPECT_EQ(refused.status, 2) << text;
    EXPECT_NE(refused.err.find(said), std::string::npos) << refused.err;
  }
  EXPECT_EQ(Parse({"--config", dir.File("none.conf")}).status, 2);
}

}  // namespace
