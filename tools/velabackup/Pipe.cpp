#include "Pipe.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <vector>

#include "Commands.h"
#include "Terminal.h"

namespace vela::cli {
namespace {

constexpr std::size_t kChunk = std::size_t{1} << 20;
constexpr const char* kSpoolName = "backup.vbk";

// The spool folder, for the second Ctrl-C, which ends the process from inside the signal handler: only
// system calls that are safe there (open, getdents64, unlinkat, rmdir) remove it.
char spoolPath[4096];
volatile std::sig_atomic_t spoolSet = 0;

void RemoveSpoolNow() {
  if (!spoolSet) return;
  const int folder = ::open(spoolPath, O_RDONLY | O_DIRECTORY);
  if (folder >= 0) {
    alignas(8) char entries[4096];
    for (long got; (got = ::syscall(SYS_getdents64, folder, entries, sizeof entries)) > 0;) {
      for (long at = 0; at < got;) {
        struct Entry {
          std::uint64_t inode;
          std::int64_t offset;
          unsigned short length;
          unsigned char type;
          char name[1];
        };
        const auto* entry = reinterpret_cast<const Entry*>(entries + at);
        if (std::strcmp(entry->name, ".") != 0 && std::strcmp(entry->name, "..") != 0)
          ::unlinkat(folder, entry->name, 0);
        at += entry->length;
      }
    }
    ::close(folder);
  }
  ::rmdir(spoolPath);
}

std::string SystemError(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

// Writes all of `size` bytes; false on a failure (errno says which).
bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace

Spool::~Spool() {
  if (folder_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
  spoolSet = 0;
}

std::string Spool::File() {
  if (folder_.empty()) {
    std::error_code error;
    std::filesystem::path temp = std::filesystem::temp_directory_path(error);
    if (error) temp = "/tmp";
    std::string pattern = (temp / "velabackup-pipe-XXXXXX").string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (::mkdtemp(name.data()) == nullptr)
      throw std::runtime_error(SystemError("cannot make a folder in " + temp.string()));
    folder_ = name.data();  // mkdtemp makes it 0700
    if (folder_.size() < sizeof spoolPath) {
      std::memcpy(spoolPath, folder_.c_str(), folder_.size() + 1);
      spoolSet = 1;
      SetInterruptCleanup(&RemoveSpoolNow);
    }
  }
  return folder_ + "/" + kSpoolName;
}

std::string Spool::ForOutput() {
  if (::isatty(STDOUT_FILENO))
    throw UsageError("-f -: standard output is a terminal; send the backup into a pipe or a file");
  // A reader that goes away is a failed write (EPIPE), not the end of the process.
  std::signal(SIGPIPE, SIG_IGN);
  return File();
}

void Spool::SendToOutput() {
  const int in = ::open(File().c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) throw std::runtime_error(SystemError("cannot read the spooled backup file"));
  std::vector<char> buffer(kChunk);
  std::uint64_t sent = 0;
  for (;;) {
    const ssize_t got = ::read(in, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      const int readError = got < 0 ? errno : 0;
      ::close(in);
      if (readError == 0) return;
      errno = readError;
      throw std::runtime_error(SystemError("cannot read the spooled backup file"));
    }
    if (!WriteAll(STDOUT_FILENO, buffer.data(), static_cast<std::size_t>(got))) {
      const bool gone = errno == EPIPE;
      const std::string why = SystemError("standard output");
      ::close(in);
      throw std::runtime_error(gone ? "the reader of standard output went away before the whole backup was "
                                      "sent (broken pipe)"
                                    : why + " after " + std::to_string(sent) +
                                          " bytes: the backup was not sent whole");
    }
    sent += static_cast<std::uint64_t>(got);
  }
}

std::string Spool::FromInput() {
  if (::isatty(STDIN_FILENO))
    throw UsageError("-f -: standard input is a terminal; pipe a backup file into it");
  const std::string path = File();
  const int out = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (out < 0) throw std::runtime_error(SystemError("cannot write " + path));
  std::vector<char> buffer(kChunk);
  for (;;) {
    const ssize_t got = ::read(STDIN_FILENO, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got == 0) break;
    if (got < 0 || !WriteAll(out, buffer.data(), static_cast<std::size_t>(got))) {
      const std::string why = SystemError(got < 0 ? "standard input" : "cannot write " + path);
      ::close(out);
      throw std::runtime_error(why);
    }
  }
  if (::close(out) != 0) throw std::runtime_error(SystemError("cannot write " + path));
  return path;
}

}  // namespace vela::cli
