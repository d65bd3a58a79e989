// The sha256sum program: the reference the image set's digests are held against.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace vektest {

// The standard output of a shell command.
inline std::string OutputOf(const std::string& command) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return output;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  pclose(pipe);
  return output;
}

// The command that prints sha256sum's lines for `names` in `folder`, in that order.
inline std::string Sha256sumCommand(const std::string& folder, const std::vector<std::string>& names) {
  std::string command = "cd '" + folder + "' && sha256sum";
  for (const auto& name : names) command += " '" + name + "'";
  return command;
}

// What sha256sum prints for the files (one "<digest>  <name>" line each).
inline std::string Sha256sumLines(const std::string& folder, const std::vector<std::string>& names) {
  return OutputOf(Sha256sumCommand(folder, names));
}

// The digest of those lines, as `sha256sum FILES | sha256sum` gives it.
inline std::string Sha256sumOfLines(const std::string& folder, const std::vector<std::string>& names) {
  return OutputOf(Sha256sumCommand(folder, names) + " | sha256sum").substr(0, 64);
}

}  // namespace vektest
