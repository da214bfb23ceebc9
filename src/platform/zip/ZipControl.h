// The zip control: packs a list of files into one zip archive.
//
// Use: construct with an events sink (may be null) and a drive, set the level, the archive path and the
// files, then Pack(). Everything runs on the caller's thread inside Pack(), which raises the events from
// there; worker threads only compress. A control packs once per Pack() call and may be reused.
//
// Archive: a standard zip (readable by unzip, libzip, every common tool). Each file becomes one member
// named, by default, after the file's name part; no folders are stored. Level 0 stores the members; any
// other level (up to 12) deflates them (see ChunkedDeflate.h for how, and DeflateEffortFor for the speed
// chosen for each level). Member names are UTF-8. With a password (SetPassword), every member's data is
// encrypted with AES-256 as WinZip AE-2 defines it (libzip's own encryption over OpenSSL; 7-Zip, bsdtar and
// libzip read it): the deflated or stored bytes pass through libzip's encryption layer as they stream, so
// memory stays as flat as without. Names, sizes and times stay readable, as zip keeps them outside the
// encrypted data.
//
// Events (all arguments by reference; the control reads back the ones it names):
//   MajorStatus(item, progress, stop)   item = the member being packed, progress = percent of all the bytes
//                                        to pack (0..100, rising); set stop non-zero to stop.
//   MinorStatus(item, progress, stop)   the same with the percent of the current member. Both are raised at
//                                        the start and end of each member and after every chunk (8 MiB) in
//                                        between, so a stop takes effect within a large member too.
//   MessageCallback(message, style, number, reply)   disk prompts, see "Removable media" below.
//   RenameCallback(storedName, path)    raised once per file before packing starts: storedName holds the
//                                        proposed member name and may be changed; path is the file's path.
//                                        A name that the unzip control would refuse (MemberName.h) fails.
//
// Failure and stop: the archive is written to a temporary file beside the destination, which replaces the
// destination in one rename only when the archive is complete. A stop (kStopped) or a failure (vela::Error)
// leaves no partial archive and keeps a destination that existed before. Failures name the file, member or
// archive: a missing or unreadable file kFileNotFound / kPathAccess, an archive that cannot be created or
// written kPathAccess, a disk that stays full kDiskFull; an empty list, a member name the unzip control would
// refuse and two files stored under one name kInvalidArgument. Only write failures and a file that turns
// unreadable while it waits its turn are met after the archive was started.
//
// Removable media: a zip spanned over several disks cannot be written with libzip, so the archive is always
// a single file. When the destination lies on removable media (the drive says so, or SetRemovableMedia),
// the control asks for the disk before writing: MessageCallback(kDiskWanted, kDiskPromptStyle, kFirstDisk,
// reply), reply preset to kReplyOk. A reply of kReplyCancel stops. While the drive then reports no free
// space (0 or unreadable) the prompt is raised again. When a write fails because the medium is full, the
// prompt is raised again and, unless cancelled, the whole archive is written anew on the disk now in the
// drive. After kMaxDiskPrompts prompts, or on a full fixed disk, packing fails with kDiskFull.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/utils/ByteStreams.h"
#include "platform/zip/Drive.h"
#include "velabackup/Error.h"

namespace vela::zip {

// Message callback vocabulary of the zip control.
inline constexpr std::int32_t kDiskWanted = 0;       // message number: insert the disk
inline constexpr std::int32_t kFirstDisk = -1;       // third parameter: the first (and only) disk
inline constexpr std::int32_t kDiskPromptStyle = 1;  // box style: OK and Cancel buttons
inline constexpr std::int32_t kReplyOk = 1;
inline constexpr std::int32_t kReplyCancel = 2;
inline constexpr int kMaxDiskPrompts = 10;

// The file list: each path written as a double quote, the path, a double quote and one blank; the blank
// after the last entry may be missing. Blanks between entries are skipped. Anything else is an error
// (kInvalidArgument) that gives the position.
std::vector<std::filesystem::path> ParseFileList(std::string_view list);
std::string QuoteFileListEntry(std::string_view path);  // "\"" + path + "\" "

class ZipEvents {
 public:
  virtual ~ZipEvents() = default;
  virtual void MajorStatus(std::string& item, std::int32_t& progress, std::int32_t& stop);
  virtual void MinorStatus(std::string& item, std::int32_t& progress, std::int32_t& stop);
  virtual void MessageCallback(std::int32_t& message, std::int32_t& style, std::int32_t& number,
                               std::int32_t& reply);
  virtual void RenameCallback(std::string& storedName, std::string& path);
};

enum class ZipOutcome { kCompleted, kStopped };

// libdeflate effort used for a compression level (1..9). Measured with bench/compress on the 268 MB UTF-16
// table data file of the million-row sample (figures in its README): zlib's level 9 takes 40 s of CPU;
// effort 6 takes about 2 s (half that on two cores) for an archive 1.05 times `sqlite3 .dump | gzip -9`;
// effort 7 reaches the gzipped dump's size for twice the time, efforts 8 and 9 go 2 % below it for three
// to five times, effort 12 another 4.5 % for twenty. A save is meant to take well under a third of the
// dump's time, which leaves compression about a second: so level 9, the best the component asks for, gets
// effort 6, and the lower levels map one to one. Levels 10 to 12, beyond zlib's range, are libdeflate's own
// slow efforts for the smallest archive, asked for by name only.
inline constexpr int kMaxCompressionLevel = 12;
int DeflateEffortFor(int level);

// Chunks of a deflated member (ChunkedDeflate.h). Each chunk boundary costs about 1 KB, so 8 MiB chunks lose
// 0.1 % of the size where 1 MiB ones lost 0.8 %; with one chunk per worker and one being read in flight,
// that is 24 MiB of input on two cores.
inline constexpr std::size_t kDefaultChunkSize = std::size_t{8} << 20;

class ZipWriting;
struct Handoff;
class MemberPipe;

class ZipControl {
 public:
  explicit ZipControl(ZipEvents* events = nullptr, const Drive& drive = DefaultDrive());

  void SetCompressionLevel(int level);  // 0 = store, 1..12 = deflate (default 9)
  int CompressionLevel() const { return level_; }
  void SetArchivePath(std::filesystem::path path) { archivePath_ = std::move(path); }
  const std::filesystem::path& ArchivePath() const { return archivePath_; }
  void SetFileList(std::string_view list) { files_ = ParseFileList(list); }
  void SetFiles(std::vector<std::filesystem::path> files) { files_ = std::move(files); }
  // Empty (the default): no encryption.
  void SetPassword(std::string password) { password_ = std::move(password); }

  // Forces the removable-media behaviour on or off instead of asking the drive.
  void SetRemovableMedia(bool removable) { removable_ = removable; }

  // Tuning; the defaults are the measured choice. Effort 1..12 overrides DeflateEffortFor(level).
  void SetDeflateEffort(int effort);
  void SetThreads(unsigned threads) { threads_ = threads; }
  void SetChunkSize(std::size_t bytes) { chunkSize_ = bytes; }

  ZipOutcome Pack();

  // Whether Begin() may be used: not on removable media, where a full disk has the whole archive written
  // again on the next one, and a member written while it is packed cannot be read a second time.
  bool CanPackWhileWriting() const;
  // Starts packing the files set so far, followed by `written`: files that the caller writes while the
  // archive is being packed, named like files (each member is named after the path's name part, and the
  // rename event is raised for it; nothing is read from the path or written to it). See ZipWriting. The
  // control must outlive the packing.
  std::unique_ptr<ZipWriting> Begin(const std::vector<std::filesystem::path>& written);

 private:
  friend class ZipWriting;
  struct Member {
    std::filesystem::path path;
    std::string name;
    std::uint64_t size = 0;
    std::int64_t mtime = 0;
    bool written = false;  // the caller writes it while it is packed
  };
  enum class Attempt { kCompleted, kStopped, kDiskFull };

  std::vector<Member> Plan(const std::vector<std::filesystem::path>& written = {});
  // `handoff` and `pipes` (one per member, null for a file): a packing that runs while the caller writes.
  // The archive file beside the destination; null with `diskFull` when the disk has no room for it.
  std::unique_ptr<ArchiveFile> CreateArchive(bool& diskFull);
  // `file`: the archive file made already, or null to make it here.
  Attempt PackOnce(const std::vector<Member>& members, Handoff* handoff = nullptr,
                   const std::vector<MemberPipe*>& pipes = {}, std::unique_ptr<ArchiveFile> file = nullptr);
  Error DiskFull() const;

  ZipEvents* events_;
  const Drive& drive_;
  int level_ = 9;
  std::optional<int> effort_;
  unsigned threads_;
  std::size_t chunkSize_ = kDefaultChunkSize;
  std::optional<bool> removable_;
  std::filesystem::path archivePath_;
  std::vector<std::filesystem::path> files_;
  std::string password_;
};

// A packing that runs while its last members are still being written, so that they never wait on disk: the
// caller's thread writes each written member through Member(i), in the order Begin() named them, and ends
// it with EndMember(i); a worker thread packs meanwhile, holding at most two chunks of the member being
// written. Member(i).Write waits while the packing is behind, and throws the packing's failure (a full
// disk: kDiskFull) when it has failed. Finish() raises every event of the packing on the caller's thread, in
// the order and with the values Pack() raises them for the same bytes, and the archive replaces the
// destination only when none of them asked to stop. Destroying the packing before Finish() completed it
// discards the archive and keeps an earlier one at the destination.
class ZipWriting {
 public:
  ~ZipWriting();
  ZipWriting(const ZipWriting&) = delete;
  ZipWriting& operator=(const ZipWriting&) = delete;

  utils::ByteSink& Member(std::size_t index);
  void EndMember(std::size_t index);
  ZipOutcome Finish();

  struct State;

 private:
  friend class ZipControl;
  explicit ZipWriting(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace vela::zip
