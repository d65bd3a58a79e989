// The program's console: the few texts that go to standard output rather than
// to the status line ("Version:...", "Failure during modem image write!").
// vek-cli keeps its standard output for status texts and sends these to
// standard error instead.
#pragma once

#include <string_view>

namespace vek {

// Where console texts go (a file descriptor; standard output by default).
void SetConsoleOutput(int fd);

// Writes the text as it is, in one write.
void ConsoleWrite(std::string_view text);

}  // namespace vek
