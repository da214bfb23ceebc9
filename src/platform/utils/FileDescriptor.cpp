#include "platform/utils/FileDescriptor.h"

#include <fcntl.h>

#include <cstdio>

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace vela::utils {

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.Release();
  }
  return *this;
}

FileDescriptor FileDescriptor::CreateNew(const char* path) noexcept {
  return FileDescriptor(::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
}

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) ::close(fd_);
}

int FileDescriptor::Release() noexcept {
  return std::exchange(fd_, -1);
}

std::size_t FileDescriptor::ReadAll(void* data, std::size_t size, std::error_code& error) noexcept {
  error.clear();
  auto* bytes = static_cast<char*>(data);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t count = ::read(fd_, bytes + done, size - done);
    if (count < 0) {
      if (errno == EINTR) continue;
      error.assign(errno, std::generic_category());
      break;
    }
    if (count == 0) break;
    done += static_cast<std::size_t>(count);
  }
  return done;
}

namespace {

thread_local FileWrites* current = nullptr;

}  // namespace

WritesScope::WritesScope(FileWrites* writes) noexcept : outer_(std::exchange(current, writes)) {}
WritesScope::~WritesScope() {
  current = outer_;
}

FileWrites* CurrentWrites() noexcept {
  return current;
}

std::error_code BeforeWrite() noexcept {
  if (!current) return {};
  try {
    return current->BeforeWrite();
  } catch (...) {
    return std::make_error_code(std::errc::io_error);
  }
}

std::filesystem::path ThroughLinks(std::filesystem::path path) {
  constexpr int kMostLinks = 40;  // the kernel's own limit on a chain of links
  std::error_code error;
  for (int hops = 0; hops < kMostLinks && std::filesystem::is_symlink(path, error); ++hops) {
    std::filesystem::path next = std::filesystem::read_symlink(path, error);
    if (error) break;
    path = next.is_absolute() ? next : path.parent_path() / next;
  }
  return path;
}

std::error_code Rename(const char* from, const char* to) noexcept {
  if (std::error_code error = BeforeWrite()) return error;
  if (::rename(from, to) != 0) return {errno, std::generic_category()};
  return {};
}

std::error_code FileDescriptor::WriteAll(const void* data, std::size_t size) noexcept {
  if (std::error_code error = BeforeWrite()) return error;
  const auto* bytes = static_cast<const char*>(data);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t count = ::write(fd_, bytes + done, size - done);
    if (count < 0) {
      if (errno == EINTR) continue;
      return {errno, std::generic_category()};
    }
    if (count == 0) return std::make_error_code(std::errc::no_space_on_device);
    done += static_cast<std::size_t>(count);
  }
  return {};
}

std::error_code FileDescriptor::Close() noexcept {
  if (::close(Release()) != 0) return {errno, std::generic_category()};
  return {};
}

}  // namespace vela::utils
