#include "platform/utils/FileDescriptor.h"

#include <fcntl.h>

#include <atomic>
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

std::atomic<long> failAt{0};
std::atomic<long> counted{0};

}  // namespace

bool WriteFaultDue() noexcept {
  const long n = ++counted;
  long due = failAt.load();
  return due > 0 && n == due && failAt.compare_exchange_strong(due, 0);
}

void FailNthWrite(long n) noexcept {
  counted = 0;
  failAt = n;
}

long WritesCounted() noexcept {
  return counted.load();
}

std::error_code Rename(const char* from, const char* to) noexcept {
  if (WriteFaultDue()) return std::make_error_code(std::errc::no_space_on_device);
  if (::rename(from, to) != 0) return {errno, std::generic_category()};
  return {};
}

std::error_code FileDescriptor::WriteAll(const void* data, std::size_t size) noexcept {
  if (WriteFaultDue()) return std::make_error_code(std::errc::no_space_on_device);
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
