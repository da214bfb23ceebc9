// The medium an archive is written to.
//
// The zip control asks the drive three things: whether the destination sits on removable media (where the
// user may have to insert or change a disk), how much space is free there, and for a new file that will
// become the archive. Tests replace the drive with a double that plays a full removable disk or a disk that
// fills up after so many writes.
//
// A removable medium is what the kernel says it is: /sys/block/<disk>/removable of the block device that
// holds the path (a partition is walked up to its disk). Paths on devices without such an entry (tmpfs,
// overlay, network file systems) are not removable.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <system_error>

namespace vela::zip {

// A file being written beside its destination. It replaces the destination in one rename on Commit and
// disappears on Rollback (or when destroyed uncommitted), so a destination that existed before survives any
// failure or cancel. Errors are returned, not thrown: libzip drives these calls from its C callbacks.
class ArchiveFile {
 public:
  virtual ~ArchiveFile() = default;
  virtual std::error_code Write(std::span<const std::byte> data) = 0;
  virtual std::error_code Seek(std::uint64_t offset) = 0;
  virtual std::uint64_t Tell() const = 0;
  virtual std::error_code Commit() = 0;
  virtual void Rollback() noexcept = 0;
};

class Drive {
 public:
  virtual ~Drive() = default;

  // True when the path (or, for a path not yet created, its nearest existing folder) lies on removable media.
  virtual bool IsRemovable(const std::filesystem::path& path) const = 0;

  // Bytes available to this user at the path's file system; nothing when it cannot be read (no medium).
  virtual std::optional<std::uint64_t> FreeSpace(const std::filesystem::path& path) const = 0;

  // Starts a new file that Commit() turns into `destination`. Failures (folder missing, no permission) are
  // returned in `error` with a null result.
  virtual std::unique_ptr<ArchiveFile> CreateArchiveFile(const std::filesystem::path& destination,
                                                         std::error_code& error) const = 0;
};

// The drives of this machine.
class SystemDrive : public Drive {
 public:
  bool IsRemovable(const std::filesystem::path& path) const override;
  std::optional<std::uint64_t> FreeSpace(const std::filesystem::path& path) const override;
  std::unique_ptr<ArchiveFile> CreateArchiveFile(const std::filesystem::path& destination,
                                                 std::error_code& error) const override;

  // Where /sys is read from; tests point it at a fake tree.
  explicit SystemDrive(std::filesystem::path sysRoot = "/sys") : sysRoot_(std::move(sysRoot)) {}

  // The removable flag for a device number, read from <sysRoot>/dev/block/<major>:<minor>; a partition
  // takes its disk's flag. Exposed for tests.
  bool IsRemovableDevice(std::uint64_t device) const;

 private:
  std::filesystem::path sysRoot_;
};

// The shared instance the controls use unless they are given another.
const Drive& DefaultDrive();

}  // namespace vela::zip
