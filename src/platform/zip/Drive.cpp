#include "platform/zip/Drive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string>
#include <vector>

#include "platform/utils/FileDescriptor.h"

namespace vela::zip {
namespace fs = std::filesystem;

namespace {

std::error_code LastError() {
  return {errno, std::generic_category()};
}

// The nearest folder of `path` that exists: a destination file usually does not exist yet.
fs::path ExistingAncestor(const fs::path& path) {
  std::error_code ignored;
  fs::path probe = fs::absolute(path, ignored);
  if (ignored) probe = path;
  while (!probe.empty()) {
    struct stat info {};
    if (::stat(probe.c_str(), &info) == 0) return probe;
    if (probe == probe.parent_path()) break;
    probe = probe.parent_path();
  }
  return {};
}

// A destination that is there and is neither a regular file, a pipe nor a character device.
class DestinationCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "destination"; }
  std::string message(int) const override {
    return "the path is not a regular file, a pipe or a character device; nothing was written to it";
  }
};

std::error_code NotWritableInPlace() {
  static const DestinationCategory category;
  return {1, category};
}

// Writes go through a buffer because libzip hands over headers and data in small pieces. A destination
// that is a pipe or a character device (a terminal, /dev/stdout) is written in place, from start to end:
// the archive is built in an unnamed temporary file, since the zip writer goes back to fill in its headers,
// and copied into the destination on Commit.
class SystemArchiveFile final : public ArchiveFile {
 public:
  SystemArchiveFile(utils::FileDescriptor fd, fs::path temporary, fs::path destination, bool inPlace = false)
      : fd_(std::move(fd)),
        temporary_(std::move(temporary)),
        destination_(std::move(destination)),
        inPlace_(inPlace) {
    buffer_.reserve(kBufferSize);
  }
  ~SystemArchiveFile() override { Rollback(); }

  std::error_code Write(std::span<const std::byte> data) override {
    if (!fd_.IsOpen()) return std::make_error_code(std::errc::bad_file_descriptor);
    if (buffer_.size() + data.size() > kBufferSize) {
      if (auto error = Flush()) return error;
    }
    if (data.size() >= kBufferSize) {
      if (auto error = fd_.WriteAll(data.data(), data.size())) return error;
    } else {
      buffer_.insert(buffer_.end(), data.begin(), data.end());
    }
    position_ += data.size();
    return {};
  }

  std::error_code Seek(std::uint64_t offset) override {
    if (auto error = Flush()) return error;
    if (::lseek(fd_.Get(), static_cast<off_t>(offset), SEEK_SET) < 0) return LastError();
    position_ = offset;
    return {};
  }

  std::uint64_t Tell() const override { return position_; }

  std::error_code Commit() override {
    if (!fd_.IsOpen()) return std::make_error_code(std::errc::bad_file_descriptor);
    if (auto error = Flush()) return error;
    if (inPlace_) return CopyIntoDestination();
    // A backup is only worth having once it is on the disk: sync before it replaces the old one.
    if (::fsync(fd_.Get()) != 0) return LastError();
    if (auto error = fd_.Close()) return error;
    if (auto error = utils::Rename(temporary_.c_str(), destination_.c_str())) return error;
    temporary_.clear();
    utils::FileDescriptor folder(
        ::open(destination_.parent_path().empty() ? "." : destination_.parent_path().c_str(),
               O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.IsOpen()) ::fsync(folder.Get());
    return {};
  }

  void Rollback() noexcept override {
    fd_ = utils::FileDescriptor();
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
    temporary_.clear();
  }

 private:
  static constexpr std::size_t kBufferSize = 256 * 1024;

  std::error_code Flush() {
    if (buffer_.empty()) return {};
    std::error_code error = fd_.WriteAll(buffer_.data(), buffer_.size());
    buffer_.clear();
    return error;
  }

  std::error_code CopyIntoDestination() {
    utils::FileDescriptor out(::open(destination_.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC));
    if (!out.IsOpen()) return LastError();
    if (::lseek(fd_.Get(), 0, SEEK_SET) < 0) return LastError();
    std::error_code error;
    buffer_.resize(kBufferSize);
    for (std::size_t got; (got = fd_.ReadAll(buffer_.data(), buffer_.size(), error)) > 0;)
      if (auto failed = out.WriteAll(buffer_.data(), got)) return failed;
    buffer_.clear();
    if (error) return error;
    fd_ = utils::FileDescriptor();
    return out.Close();
  }

  utils::FileDescriptor fd_;
  fs::path temporary_;
  fs::path destination_;
  bool inPlace_;
  std::vector<std::byte> buffer_;
  std::uint64_t position_ = 0;
};

}  // namespace

bool SystemDrive::IsRemovableDevice(std::uint64_t device) const {
  std::error_code error;
  fs::path entry =
      sysRoot_ / "dev" / "block" / (std::to_string(major(device)) + ":" + std::to_string(minor(device)));
  fs::path node = fs::canonical(entry, error);
  if (error) return false;
  // A partition has no flag of its own; its disk is the folder above it.
  if (fs::exists(node / "partition", error)) node = node.parent_path();
  std::ifstream flag(node / "removable");
  char value = '0';
  return flag.get(value) && value == '1';
}

bool SystemDrive::IsRemovable(const fs::path& path) const {
  fs::path existing = ExistingAncestor(path);
  struct stat info {};
  if (existing.empty() || ::stat(existing.c_str(), &info) != 0) return false;
  return IsRemovableDevice(info.st_dev);
}

std::optional<std::uint64_t> SystemDrive::FreeSpace(const fs::path& path) const {
  fs::path existing = ExistingAncestor(path);
  struct statvfs info {};
  if (existing.empty() || ::statvfs(existing.c_str(), &info) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
}

std::unique_ptr<ArchiveFile> SystemDrive::CreateArchiveFile(const fs::path& given,
                                                            std::error_code& error) const {
  error.clear();
  struct stat found {};
  if (::stat(given.c_str(), &found) == 0 && !S_ISREG(found.st_mode)) {
    // Never replaced: a pipe or a character device is written in place, anything else refused.
    if (!S_ISFIFO(found.st_mode) && !S_ISCHR(found.st_mode)) {
      error = NotWritableInPlace();
      return nullptr;
    }
    std::error_code ignored;
    std::string pattern = (fs::temp_directory_path(ignored) / "velabackup-XXXXXX").string();
    utils::FileDescriptor fd(::mkostemp(pattern.data(), O_CLOEXEC));
    if (!fd.IsOpen()) {
      error = LastError();
      return nullptr;
    }
    ::unlink(pattern.c_str());  // gone with its descriptor, whatever ends the save
    return std::make_unique<SystemArchiveFile>(std::move(fd), fs::path(), given, true);
  }
  // A link is written through: the file it names is replaced, and the link stays.
  const fs::path destination = utils::ThroughLinks(given);
  // The temporary file lies beside the destination so that the final rename stays on one file system.
  std::string pattern = destination.string() + ".part-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  utils::FileDescriptor fd(::mkostemp(name.data(), O_CLOEXEC));
  if (!fd.IsOpen()) {
    error = LastError();
    return nullptr;
  }
  // A new archive stays private to its owner (it holds a whole database); a replaced one keeps its mode.
  struct stat existing {};
  if (::stat(destination.c_str(), &existing) == 0) ::fchmod(fd.Get(), existing.st_mode & 07777);
  return std::make_unique<SystemArchiveFile>(std::move(fd), fs::path(name.data()), destination);
}

const Drive& DefaultDrive() {
  static const SystemDrive drive;
  return drive;
}

}  // namespace vela::zip
