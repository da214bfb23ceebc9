// The unzip control: unpacks every member of a zip archive into a destination folder.
//
// Use: construct with an events sink (may be null) and a drive, set the archive path and the destination,
// then Unpack(). Everything runs on the caller's thread inside Unpack().
//
// An archive is untrusted input. Before anything is written, every member name is checked (MemberName.h):
// absolute names, drive letters, backslashes, ".." parts, symbolic links and other special files, and
// unknown compression or encryption methods refuse the whole archive. Encrypted members are read with the
// password set (SetPassword); an archive with such members and no password, or a wrong one, is refused
// with kArchivePassword before anything is written. Files are then created through folder
// handles opened without following symbolic links, so nothing already in the destination can redirect a
// write outside it. Members are streamed in 1 MiB pieces; none is held whole in memory.
//
// The sizes an archive declares are bounds, not hints. Before anything is written, the member count and the
// sum of the declared sizes must stay within the limits (UnpackLimits) and the sum within the free space
// of the destination's file system. While writing, a member that yields more bytes than it declares stops
// before the excess reaches the disk, and every member must end at its declared size with its CRC-32; each
// refusal names the member. The destination folder is created if needed; new folders get mode 0700 and files
// 0600 (it is a private work folder), and files keep the member's modification time. A member already present
// is overwritten.
//
// Events (all arguments by reference):
//   MajorStatus(item, progress, stop)   item = the member being written, progress = percent of all bytes
//                                        (0..100); set stop non-zero to stop.
//   MinorStatus(item, progress, stop)   percent of the current member; raised at its start, after every
//                                        piece and at its end.
//   MessageCallback(message, style, number, reply)   when the archive is missing and its drive is removable:
//                                        kDiskWanted with number 0 (insert the disk that holds it), reply
//                                        preset to kReplyOk; kReplyCancel stops, anything else looks again,
//                                        at most kMaxDiskPrompts times.
//   RenameCallback(targetPath)          before each member is written, with the full path it will get; the
//                                        handler may change it to another place inside the destination.
//
// Members left packed (SetLeavePacked): once the archive is open, its password checked and every member name
// checked, and before anything is written, the chooser names members that are not written; they count in
// neither the progress nor the free space, and the archive stays open after Unpack for them to be read
// where they lie (TakeArchive).
//
// Stop: Unpack returns kStopped and leaves what was written so far (the caller removes the folder).
// Failures are vela::Error with the numbers below, naming the archive, the member or the file written.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <unordered_set>

#include "platform/zip/Drive.h"
#include "platform/zip/ZipControl.h"
#include "velabackup/Error.h"

namespace vela::zip {

// What an unpacking failure means to the caller.
inline constexpr std::int32_t kArchiveNotFound = kFileNotFound;  // no file at the archive path
inline constexpr std::int32_t kArchiveUnreadable = kPathAccess;  // there, but cannot be read (or not a file)
inline constexpr std::int32_t kNotZipArchive = kBadFileFormat;   // readable, but not a zip archive at all
// kDamagedArchive: a zip archive, but corrupt, or beyond the limits below; kUnsafeMember: a member name
// refused (velabackup/Error.h). Writing into the destination fails with kPathAccess, or kDiskFull when the
// disk is full or the declared sizes exceed its free space.

// A backup holds the document, a few mode files and one data file per table: 100,000 members and 1 TiB
// leave room for any real database while bounding what a crafted archive can cost.
inline constexpr std::uint64_t kMaxMembers = 100'000;
inline constexpr std::uint64_t kMaxUnpackedBytes = std::uint64_t{1} << 40;

struct UnpackLimits {
  std::uint64_t members = kMaxMembers;
  std::uint64_t bytes = kMaxUnpackedBytes;  // the sum of the members' declared sizes
};

class UnzipEvents {
 public:
  virtual ~UnzipEvents() = default;
  virtual void MajorStatus(std::string& item, std::int32_t& progress, std::int32_t& stop);
  virtual void MinorStatus(std::string& item, std::int32_t& progress, std::int32_t& stop);
  virtual void MessageCallback(std::int32_t& message, std::int32_t& style, std::int32_t& number,
                               std::int32_t& reply);
  virtual void RenameCallback(std::string& targetPath);
};

enum class UnzipOutcome { kCompleted, kStopped };

class ArchiveReader;
// The exact names of the members to leave packed, chosen with the open archive at hand.
using LeavePacked = std::function<std::unordered_set<std::string>(const ArchiveReader& archive)>;

class UnzipControl {
 public:
  explicit UnzipControl(UnzipEvents* events = nullptr, const Drive& drive = DefaultDrive());

  void SetArchivePath(std::filesystem::path path) { archivePath_ = std::move(path); }
  const std::filesystem::path& ArchivePath() const { return archivePath_; }
  void SetDestination(std::filesystem::path folder) { destination_ = std::move(folder); }
  const std::filesystem::path& Destination() const { return destination_; }
  // Tests lower the limits instead of crafting 100,000 members.
  void SetLimits(const UnpackLimits& limits) { limits_ = limits; }
  void SetPassword(std::string password) { password_ = std::move(password); }
  // After Unpack: whether the archive's members were encrypted.
  bool Encrypted() const { return encrypted_; }
  void SetLeavePacked(LeavePacked choose) { leavePacked_ = std::move(choose); }

  UnzipOutcome Unpack();
  // After an Unpack that had members left packed: the archive, still open; null otherwise.
  std::unique_ptr<ArchiveReader> TakeArchive();

  UnzipControl(UnzipControl&&) noexcept;
  ~UnzipControl();

 private:
  UnzipEvents* events_;
  const Drive& drive_;
  std::filesystem::path archivePath_;
  std::filesystem::path destination_;
  UnpackLimits limits_;
  std::string password_;
  bool encrypted_ = false;
  LeavePacked leavePacked_;
  std::unique_ptr<ArchiveReader> reader_;
};

}  // namespace vela::zip
