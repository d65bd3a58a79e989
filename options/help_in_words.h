// CLI11's help, but for "Excludes: ..." after an option's name: it made the
// name's column too wide for the option's words, which then stood on a line of
// their own. Options that exclude others say so in their words instead. Headers
// only, so that a program that shares none of the job's options (vek-report)
// takes it without them.
#pragma once

#include <CLI/CLI.hpp>

#include <string>

namespace vekoptions {

class HelpInWords : public CLI::Formatter {
 public:
  std::string make_option_opts(const CLI::Option* option) const override {
    std::string text = CLI::Formatter::make_option_opts(option);
    return text.substr(0, text.find(" " + get_label("Excludes") + ":"));
  }
};

}  // namespace vekoptions
