#include "platform/zip/UnzipControl.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "platform/utils/FileDescriptor.h"
#include "platform/zip/ArchiveReader.h"
#include "platform/zip/ControlCommon.h"
#include "platform/zip/MemberName.h"
#include "platform/zip/StatusReport.h"

namespace vela::zip {
namespace fs = std::filesystem;

namespace {

constexpr const char* kSource = kSourceUnzip;
constexpr std::size_t kPieceSize = 1 << 20;

using utils::FileDescriptor;

struct Member {
  zip_uint64_t index = 0;
  std::string name;
  std::vector<std::string> parts;
  bool folder = false;
  std::uint64_t size = 0;
  time_t mtime = 0;
};

std::int32_t WriteErrorNumber(int error) {
  return error == ENOSPC || error == EDQUOT ? kDiskFull : kPathAccess;
}

[[noreturn]] void WriteFailed(const fs::path& target, int error) {
  throw Error(WriteErrorNumber(error), kSource,
              "Cannot write the file " + target.string() + ": " + std::strerror(error));
}

// Opens the folder `name` inside `parent`, creating it when missing, without following a symbolic link.
FileDescriptor OpenFolder(int parent, const std::string& name, const fs::path& shown) {
  if (::mkdirat(parent, name.c_str(), 0700) != 0 && errno != EEXIST)
    throw Error(WriteErrorNumber(errno), kSource,
                "Cannot create the folder " + shown.string() + ": " + std::strerror(errno));
  FileDescriptor folder(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!folder.IsOpen()) {
    int error = errno;
    if (error == ELOOP || error == ENOTDIR)
      throw Error(kUnsafeMember, kSource,
                  "Cannot unpack into " + shown.string() + ": it is a symbolic link or a file, not a folder");
    throw Error(kPathAccess, kSource,
                "Cannot open the folder " + shown.string() + ": " + std::strerror(error));
  }
  return folder;
}

class Unpacker {
 public:
  Unpacker(UnzipEvents& events, const Drive& drive, const UnpackLimits& limits, const fs::path& archivePath,
           const fs::path& destination)
      : events_(events),
        drive_(drive),
        limits_(limits),
        archivePath_(archivePath),
        destination_(destination) {}

  // Null with `number` and `why` set when the archive cannot be opened.
  Archive Open(std::int32_t& number, std::string& why) const {
    return OpenArchive(archivePath_, number, why);
  }

  // Checks every member before anything is written: one bad name, or a count or sum of declared sizes
  // beyond the limits, refuses the whole archive.
  std::vector<Member> Plan(zip_t* archive) const {
    zip_int64_t count = zip_get_num_entries(archive, 0);
    if (count > 0 && static_cast<zip_uint64_t>(count) > limits_.members) {
      const char* name = zip_get_name(archive, limits_.members, ZIP_FL_ENC_GUESS);
      Refused(kDamagedArchive, "it holds " + std::to_string(count) + " members, more than the " +
                                   std::to_string(limits_.members) + " a backup may hold (member " +
                                   Quote(name != nullptr ? name : "?") + " is one too many)");
    }
    std::uint64_t declared = 0;  // never beyond the limit
    std::vector<Member> members;
    for (zip_uint64_t index = 0; count > 0 && index < static_cast<zip_uint64_t>(count); ++index) {
      Member member;
      member.index = index;
      const char* name = zip_get_name(archive, index, ZIP_FL_ENC_GUESS);
      if (name == nullptr)
        Damaged("member " + std::to_string(index) + " has no readable name: " + zip_strerror(archive));
      member.name = name;
      std::string problem = CheckMemberName(member.name, member.parts);
      if (!problem.empty()) Unsafe(member.name, problem);
      member.folder = member.name.back() == '/';
      zip_uint8_t system = 0;
      zip_uint32_t attributes = 0;
      if (zip_file_get_external_attributes(archive, index, 0, &system, &attributes) == 0 &&
          system == ZIP_OPSYS_UNIX) {
        mode_t type = (attributes >> 16) & S_IFMT;
        if (type == S_IFLNK) Unsafe(member.name, "is a symbolic link");
        if (type != 0 && type != S_IFREG && type != S_IFDIR)
          Unsafe(member.name, "is a device, pipe or socket");
        if (type == S_IFDIR) member.folder = true;
      }
      zip_stat_t stat;
      if (zip_stat_index(archive, index, 0, &stat) != 0)
        Damaged("member " + Quote(member.name) + ": " + zip_strerror(archive));
      if (!member.folder && (stat.valid & ZIP_STAT_COMP_METHOD) != 0 &&
          !zip_compression_method_supported(stat.comp_method, 0))
        Damaged("member " + Quote(member.name) + " uses compression method " +
                std::to_string(stat.comp_method) + ", which cannot be read");
      member.size = (stat.valid & ZIP_STAT_SIZE) != 0 && !member.folder ? stat.size : 0;
      member.mtime = (stat.valid & ZIP_STAT_MTIME) != 0 ? stat.mtime : 0;
      if (member.size > limits_.bytes - declared)
        Refused(kDamagedArchive, "with the member " + Quote(member.name) + " its members declare more than " +
                                     std::to_string(limits_.bytes) +
                                     " bytes, the most a backup may unpack to");
      declared += member.size;
      members.push_back(std::move(member));
    }
    return members;
  }

  // The members to be written must fit in the free space of the destination's file system.
  void CheckFreeSpace(const std::vector<Member>& members) const {
    const std::optional<std::uint64_t> free = drive_.FreeSpace(destination_);
    if (!free) return;
    std::uint64_t declared = 0;  // never beyond the free space
    for (const Member& member : members) {
      if (member.size > *free - declared)
        Refused(kDiskFull, "with the member " + Quote(member.name) + " its members declare " +
                               std::to_string(declared + member.size) + " bytes, more than the " +
                               std::to_string(*free) + " bytes free where " + destination_.string() +
                               " lies");
      declared += member.size;
    }
  }

  void Unpack(zip_t* archive, const std::vector<Member>& members) {
    std::error_code error;
    if (fs::create_directories(destination_, error))
      fs::permissions(destination_, fs::perms::owner_all, error);
    if (error)
      throw Error(kPathAccess, kSource,
                  "Cannot create the folder " + destination_.string() + ": " + error.message());
    FileDescriptor root(::open(destination_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root.IsOpen())
      throw Error(kPathAccess, kSource,
                  "Cannot open the folder " + destination_.string() + ": " + std::strerror(errno));
    std::uint64_t total = 0;
    for (const Member& member : members) total += member.size;
    StatusReport<UnzipEvents> progress(events_, total);
    std::vector<char> buffer(kPieceSize);
    for (const Member& member : members) {
      std::vector<std::string> parts = TargetParts(member);
      fs::path target = destination_;
      for (const std::string& part : parts) target /= part;
      progress.Report(member.name, 0, 0, true);

      std::size_t folders = member.folder ? parts.size() : parts.size() - 1;
      FileDescriptor folder;
      int parent = root.Get();
      fs::path shown = destination_;
      for (std::size_t i = 0; i < folders; ++i) {
        shown /= parts[i];
        folder = OpenFolder(parent, parts[i], shown);
        parent = folder.Get();
      }
      std::uint64_t done = 0;
      if (!member.folder) done = WriteFile(archive, member, parent, parts.back(), target, progress, buffer);
      progress.Report(member.name, done, 100, false);
      progress.ItemFinished(done);
    }
    progress.Complete();
  }

 private:
  [[noreturn]] void Damaged(const std::string& what) const {
    throw Error(kDamagedArchive, kSource,
                "The backup file " + archivePath_.string() + " is damaged: " + what);
  }
  [[noreturn]] void Refused(std::int32_t number, const std::string& why) const {
    throw Error(
        number, kSource,
        "Cannot unpack the backup file " + archivePath_.string() + ": " + why + "; nothing was unpacked");
  }
  [[noreturn]] void Unsafe(const std::string& name, const std::string& problem) const {
    throw Error(kUnsafeMember, kSource,
                "The backup file " + archivePath_.string() + " holds the member " + Quote(name) +
                    ", whose name " + problem + "; nothing was unpacked");
  }

  // The member's place in the destination, after the rename callback had its say.
  std::vector<std::string> TargetParts(const Member& member) const {
    fs::path target = destination_;
    for (const std::string& part : member.parts) target /= part;
    std::string proposed = target.string();
    std::string chosen = proposed;
    events_.RenameCallback(chosen);
    if (chosen == proposed) return member.parts;
    fs::path relative =
        fs::path(chosen).lexically_normal().lexically_relative(destination_.lexically_normal());
    std::vector<std::string> parts;
    std::string problem =
        relative.empty() ? "names no file" : CheckMemberName(relative.generic_string(), parts);
    if (!problem.empty())
      throw Error(kUnsafeMember, kSource,
                  "The member " + Quote(member.name) + " was renamed to " + chosen + ", which lies outside " +
                      destination_.string());
    return parts;
  }

  std::uint64_t WriteFile(zip_t* archive, const Member& member, int parent, const std::string& name,
                          const fs::path& target, StatusReport<UnzipEvents>& progress,
                          std::vector<char>& buffer) {
    FileDescriptor file(
        ::openat(parent, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file.IsOpen()) {
      int error = errno;
      if (error == ELOOP)
        throw Error(kUnsafeMember, kSource,
                    "Cannot unpack into " + target.string() + ": it is a symbolic link");
      throw Error(WriteErrorNumber(error), kSource,
                  "Cannot create the file " + target.string() + ": " + std::strerror(error));
    }
    std::uint64_t done = 0;
    StreamMember(archive, archivePath_, member.index, member.name, member.size, buffer,
                 [&](const char* data, std::size_t count) {
                   if (std::error_code error = file.WriteAll(data, count)) WriteFailed(target, error.value());
                   done += count;
                   progress.Report(member.name, done, Percent(done, member.size), false);
                 });
    if (member.mtime != 0) {
      struct timespec times[2] = {{member.mtime, 0}, {member.mtime, 0}};
      ::futimens(file.Get(), times);
    }
    if (std::error_code error = file.Close()) WriteFailed(target, error.value());
    return done;
  }

  UnzipEvents& events_;
  const Drive& drive_;
  const UnpackLimits& limits_;
  const fs::path& archivePath_;
  const fs::path& destination_;
};

}  // namespace

void UnzipEvents::MajorStatus(std::string&, std::int32_t&, std::int32_t&) {}
void UnzipEvents::MinorStatus(std::string&, std::int32_t&, std::int32_t&) {}
void UnzipEvents::MessageCallback(std::int32_t&, std::int32_t&, std::int32_t&, std::int32_t&) {}
void UnzipEvents::RenameCallback(std::string&) {}

UnzipControl::UnzipControl(UnzipEvents* events, const Drive& drive)
    : events_(events != nullptr ? events : &NoEvents<UnzipEvents>()), drive_(drive) {}

UnzipControl::UnzipControl(UnzipControl&&) noexcept = default;
UnzipControl::~UnzipControl() = default;

std::unique_ptr<ArchiveReader> UnzipControl::TakeArchive() {
  return std::move(reader_);
}

UnzipOutcome UnzipControl::Unpack() {
  if (archivePath_.empty()) throw Error(kInvalidArgument, kSource, "No backup file was given to unpack");
  if (destination_.empty()) throw Error(kInvalidArgument, kSource, "No folder was given to unpack into");
  Unpacker unpacker(*events_, drive_, limits_, archivePath_, destination_);
  encrypted_ = false;
  Archive archive;
  for (int prompts = 0;;) {
    std::int32_t number = 0;
    std::string why;
    archive = unpacker.Open(number, why);
    if (archive) break;
    // A backup on a removable disk may simply not be in the drive yet.
    if (number != kArchiveNotFound || ++prompts > kMaxDiskPrompts || !drive_.IsRemovable(archivePath_))
      throw Error(number, kSource, why);
    if (!AskForDisk(*events_, 0)) return UnzipOutcome::kStopped;
  }
  encrypted_ = UsePassword(archive.get(), archivePath_, password_);
  std::vector<Member> members = unpacker.Plan(archive.get());
  zip_t* const handle = archive.get();
  reader_.reset();
  if (leavePacked_) {
    reader_ = std::make_unique<ArchiveReader>(archivePath_, std::move(archive), limits_, password_);
    const std::unordered_set<std::string> packed = leavePacked_(*reader_);
    std::erase_if(members, [&](const Member& member) { return packed.contains(member.name); });
  }
  unpacker.CheckFreeSpace(members);
  try {
    unpacker.Unpack(handle, members);
  } catch (const StopRequested&) {
    return UnzipOutcome::kStopped;
  }
  return UnzipOutcome::kCompleted;
}

}  // namespace vela::zip
