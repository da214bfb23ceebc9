// Running another program as a child process: an argument vector, never a shell, and the environment of
// this process with a few items added for the child alone (a password given to a tool never appears on a
// command line another user could read). The child's output arrives line by line while it runs, and the
// caller may stop it between lines.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vela::utils {

struct ChildRun {
  std::vector<std::string> arguments;                            // the program's path first
  std::vector<std::pair<std::string, std::string>> environment;  // added to (or replacing) this process's
};

enum class Stream { kOutput, kError };

struct ChildOutcome {
  int exitStatus = -1;   // the status the program ended with; -1 when a signal ended it
  bool stopped = false;  // stopped because `stop` said so
};

// Runs the program and waits for it. Each line it writes goes to `line` as it comes (without its line
// break); `stop` is asked about four times a second and after each line, and true ends the child
// (SIGTERM, then SIGKILL). A program that cannot be started fails with kPathAccess naming it.
ChildOutcome RunChild(const ChildRun& run, const std::function<void(Stream, std::string_view)>& line,
                      const std::function<bool()>& stop);

}  // namespace vela::utils
