// vek-factory's options file (--config FILE), for a station where it runs as a
// service: one option a line, "key = value", the key a long option of the
// command line without its dashes ("images = /var/lib/vek/images"), a flag's
// value true or false. Lines that start with '#' or ';' are comments.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vekfactory {

// What the file may set: every long option but --config, --help and --version.
struct OptionKey {
  bool flag = false;             // takes no value on the command line
  bool on_command_line = false;  // given there (or one it excludes was): the command line wins
};

// The file's options as command-line words ("--images=/srv/images",
// "--restore-default"), leaving out the keys the command line gives. Nothing,
// and why in `error` (the line, the key), when the file cannot be read or
// holds anything but known keys with values, each once.
std::optional<std::vector<std::string>> ReadOptionsFile(const std::string& path,
                                                        const std::map<std::string, OptionKey>& keys,
                                                        std::string& error);

}  // namespace vekfactory
