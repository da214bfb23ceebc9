// Runs the built command-line host (VELA_CLI_PATH) as a script would: each argument quoted for the shell,
// no terminal, no standard input; what it printed on each stream and its exit status come back.
#pragma once

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/TempFolder.h"

namespace vela::testing {

struct Result {
  int status = -1;
  std::string out, err;
};

inline std::string ShellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// The host run after `prefix` (a command that sets its environment, or nothing).
inline Result RunHost(const TempFolder& folder, const std::string& prefix,
                      const std::vector<std::string>& arguments) {
  std::string command = prefix + ShellQuoted(VELA_CLI_PATH);
  for (const std::string& argument : arguments) command += " " + ShellQuoted(argument);
  const std::string errPath = folder / "stderr.txt";
  command += " 2>" + ShellQuoted(errPath) + " </dev/null";
  Result result;
  FILE* pipe = popen(command.c_str(), "r");
  std::array<char, 4096> buffer;
  for (std::size_t n; (n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0;)
    result.out.append(buffer.data(), n);
  const int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::stringstream err;
  err << std::ifstream(errPath).rdbuf();
  result.err = err.str();
  return result;
}

// In the environment of the test run.
inline Result Host(const TempFolder& folder, const std::vector<std::string>& arguments) {
  return RunHost(folder, "", arguments);
}

// With the locale variables of the test run removed and `environment` (NAME=VALUE items) set instead.
inline Result Host(const TempFolder& folder, const std::vector<std::string>& environment,
                   const std::vector<std::string>& arguments) {
  std::string prefix = "env -u LC_ALL -u LC_MESSAGES -u LANG ";
  for (const std::string& item : environment) prefix += ShellQuoted(item) + " ";
  return RunHost(folder, prefix, arguments);
}

}  // namespace vela::testing
