#include "platform/utils/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "platform/utils/FileDescriptor.h"
#include "velabackup/Error.h"

extern char** environ;

namespace vela::utils {
namespace {

// The environment of this process with the run's items set on top.
std::vector<std::string> ChildEnvironment(const ChildRun& run) {
  std::vector<std::string> items;
  for (char** item = environ; item && *item; ++item) {
    std::string_view text(*item);
    bool replaced = false;
    for (const auto& [name, value] : run.environment)
      if (text.size() > name.size() && text.substr(0, name.size()) == name && text[name.size()] == '=')
        replaced = true;
    if (!replaced) items.emplace_back(text);
  }
  for (const auto& [name, value] : run.environment) items.push_back(name + "=" + value);
  return items;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

// One output pipe of the child, split into lines as bytes arrive.
struct Pipe {
  FileDescriptor read;
  std::string pending;
  Stream stream;
  bool open = true;

  // Reads what is there; hands on every complete line. False at the end of the stream.
  void Drain(const std::function<void(Stream, std::string_view)>& line) {
    std::array<char, 8192> buffer;
    const ssize_t count = ::read(read.Get(), buffer.data(), buffer.size());
    if (count < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (count <= 0) {
      if (!pending.empty()) line(stream, pending);
      pending.clear();
      open = false;
      return;
    }
    pending.append(buffer.data(), static_cast<std::size_t>(count));
    std::size_t start = 0;
    for (std::size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
      std::string_view text(pending.data() + start, end - start);
      if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
      line(stream, text);
    }
    pending.erase(0, start);
  }
};

int WaitFor(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Asks the child to end, and makes it end when it does not within a few seconds.
void EndChild(pid_t pid) {
  ::kill(pid, SIGTERM);
  for (int i = 0; i < 50; ++i) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      // Reaped here: the caller's wait must not wait again.
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ::kill(pid, SIGKILL);
  WaitFor(pid);
}

}  // namespace

ChildOutcome RunChild(const ChildRun& run, const std::function<void(Stream, std::string_view)>& line,
                      const std::function<bool()>& stop) {
  if (run.arguments.empty()) throw Error(kInvalidArgument, kSourceUtils, "No program to run");
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) throw Error(kGeneralFailure, kSourceUtils, std::strerror(errno));
  Pipe output{FileDescriptor(out[0]), {}, Stream::kOutput};
  FileDescriptor outWrite(out[1]);
  if (::pipe2(err, O_CLOEXEC) != 0) throw Error(kGeneralFailure, kSourceUtils, std::strerror(errno));
  Pipe errors{FileDescriptor(err[0]), {}, Stream::kError};
  FileDescriptor errWrite(err[1]);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outWrite.Get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, errWrite.Get(), STDERR_FILENO);
  std::vector<std::string> arguments = run.arguments;
  std::vector<std::string> environment = ChildEnvironment(run);
  std::vector<char*> argv = Pointers(arguments);
  std::vector<char*> envp = Pointers(environment);
  pid_t pid = 0;
  const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  // The environment held a password for the child; it is not kept around.
  for (std::string& item : environment) std::fill(item.begin(), item.end(), '\0');
  if (spawned != 0)
    throw Error(kPathAccess, kSourceUtils,
                "Could not run " + run.arguments[0] + ": " + std::strerror(spawned));
  outWrite.Close();
  errWrite.Close();

  ChildOutcome outcome;
  while (output.open || errors.open) {
    if (stop && stop()) {
      outcome.stopped = true;
      EndChild(pid);
      return outcome;
    }
    std::array<pollfd, 2> watched{};
    nfds_t count = 0;
    Pipe* pipes[2] = {};
    for (Pipe* pipe : {&output, &errors})
      if (pipe->open) {
        watched[count] = {pipe->read.Get(), POLLIN, 0};
        pipes[count++] = pipe;
      }
    const int ready = ::poll(watched.data(), count, 250);
    if (ready < 0 && errno != EINTR) break;
    for (nfds_t i = 0; i < count && ready > 0; ++i)
      if (watched[i].revents & (POLLIN | POLLHUP | POLLERR)) pipes[i]->Drain(line);
  }
  outcome.exitStatus = WaitFor(pid);
  return outcome;
}

}  // namespace vela::utils
