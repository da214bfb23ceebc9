// The one owner of a POSIX file descriptor in the platform layer.
//
// It closes its descriptor exactly once: when destroyed, when another is moved in, or through Close(). Reads
// and writes go through ReadAll and WriteAll, which carry on after a signal interrupted them (EINTR) and
// after short transfers, so no caller repeats that loop. Errors are returned, not thrown: every caller words
// its own vela::Error, and the zip writer hands them to libzip's C callbacks.
#pragma once

#include <cstddef>
#include <filesystem>
#include <system_error>

#include "velabackup/Services.h"

namespace vela::utils {

class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.Release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  // Closes quietly: a writer that must know whether its data reached the file calls Close() first.
  ~FileDescriptor();

  int Get() const noexcept { return fd_; }
  bool IsOpen() const noexcept { return fd_ >= 0; }
  // Makes a new file for writing, readable by its owner alone: never one that is there already, never through
  // a symbolic link (O_CREAT | O_EXCL | O_NOFOLLOW). Not open, with errno set, when that cannot be.
  static FileDescriptor CreateNew(const char* path) noexcept;

  // Gives the descriptor up to a new owner (libzip), which closes it.
  int Release() noexcept;

  // Reads until `size` bytes are in or the file ends, and returns how many came: fewer than `size` only at
  // the end of the file, or when a read failed (then `error` is set).
  std::size_t ReadAll(void* data, std::size_t size, std::error_code& error) noexcept;

  // Writes all `size` bytes. A write that takes nothing is reported as a full disk rather than retried
  // forever.
  std::error_code WriteAll(const void* data, std::size_t size) noexcept;

  // Closes now and returns what close said (a full disk, a quota or a network file system may only speak
  // here). The descriptor is given up whatever the outcome, also on EINTR, so a close is never repeated: by
  // then the number may already belong to another file.
  std::error_code Close() noexcept;

 private:
  int fd_ = -1;
};

// The writes of the calling thread go through `writes` while a WritesScope lives: an operation installs its
// services' FileWrites for the length of its run. Scopes nest; the outer one comes back after. nullptr: the
// writes go straight to the files.
class WritesScope {
 public:
  explicit WritesScope(FileWrites* writes) noexcept;
  ~WritesScope();
  WritesScope(const WritesScope&) = delete;
  WritesScope& operator=(const WritesScope&) = delete;

 private:
  FileWrites* outer_;
};

// The FileWrites of the calling thread's scope (nullptr: none), for a thread that writes on its behalf to
// install in a WritesScope of its own.
FileWrites* CurrentWrites() noexcept;

// What the calling thread's FileWrites says of the next write, sync or rename: no error when none is
// installed. The database engine's own writes ask it too (data/sqlite/FaultVfs.h).
std::error_code BeforeWrite() noexcept;

// Renames a file, asking the calling thread's FileWrites first.
std::error_code Rename(const char* from, const char* to) noexcept;

// The path a chain of symbolic links ends at (the path itself when it is no link), whether or not a file is
// there: a file replaced through a link is the one the link names, and the link stays.
std::filesystem::path ThroughLinks(std::filesystem::path path);

}  // namespace vela::utils
