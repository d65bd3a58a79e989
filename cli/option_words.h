// How vek-cli and vek-factory read a number option and tell a bad one in plain
// words: one line naming the option, what it expects and what it got.
#pragma once

#include <optional>
#include <string>

namespace vekcli {

// An option's text as an error line shows it: quoted, control characters
// escaped, cut at 40 characters.
std::string Quoted(const std::string& text);

// The seconds of a text read as any number option is; nothing unless it is a
// finite number greater than 0.
std::optional<double> PositiveSeconds(const std::string& text);

// A whole number from 1 to `most`; nothing for anything else ("2.5", "0", "x").
std::optional<unsigned> PositiveCount(const std::string& text, unsigned most);

}  // namespace vekcli
