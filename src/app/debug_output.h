// Where the debug output (copies of status texts and debug traces) goes. There
// is no debugger channel here: the desktop program writes it to standard
// error, vek-cli only when asked to (--verbose).
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace vek {

enum class DebugOutput {
  kNone,           // dropped
  kStandardError,  // one line per text on standard error
};

// Installs the debug output of the process (vek::SetDebugOutput).
void UseDebugOutput(DebugOutput where);

// A debug-output sink that writes each text as one line to `fd`: a text's own
// trailing line end (status copies carry "\r\n") becomes a single "\n", and a
// text without one (a debug trace) gets one, so traces never run together.
std::function<void(std::string_view)> DebugLineWriter(int fd);

// The line one text becomes.
std::string DebugLine(std::string_view text);

}  // namespace vek
