#include "platform/zip/ZipControl.h"

#include <fcntl.h>
#include <libdeflate.h>
#include <sys/stat.h>
#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/utils/FileDescriptor.h"
#include "platform/zip/ChunkedDeflate.h"
#include "platform/zip/ControlCommon.h"
#include "platform/zip/MemberName.h"
#include "platform/zip/StatusReport.h"

namespace vela::zip {
namespace fs = std::filesystem;

// What the worker of a ZipWriting and the caller's thread hand each other. The worker records the progress
// of the packing instead of raising it; the caller raises it from Finish() and gives the verdict on the
// complete archive.
struct Handoff {
  // A progress report of a member: `percent` fixed (0 at its start, 100 at its end), or -1 for the share of
  // the member's bytes done, which is known once the member is written.
  struct Record {
    enum Kind { kReport, kFinished, kComplete } kind;
    std::size_t member = 0;
    std::uint64_t done = 0;
    int percent = -1;
    bool newItem = false;
  };

  void Push(const Record& record) {
    std::lock_guard lock(mutex);
    records.push_back(record);
    changed.notify_all();
  }
  // The worker, with the archive complete: true when the caller lets it replace the destination.
  bool AwaitCommit() {
    std::unique_lock lock(mutex);
    atCommit = true;
    changed.notify_all();
    changed.wait(lock, [this] { return commit || aborted; });
    return commit && !aborted;
  }
  void Abort() {
    std::lock_guard lock(mutex);
    aborted = true;
    changed.notify_all();
  }
  bool Aborted() {
    std::lock_guard lock(mutex);
    return aborted;
  }

  std::mutex mutex;
  std::condition_variable changed;
  std::deque<Record> records;
  bool aborted = false;     // the caller gave up: the sources stop and the archive is discarded
  bool workerDone = false;  // the worker's packing returned
  bool atCommit = false;
  bool commit = false;
};

// A member written by the caller while it is packed: the caller fills a chunk, hands it over when full (or
// at the member's end, the last one, possibly empty) and waits while the one before is not taken yet.
class MemberPipe final : public utils::ByteSink {
 public:
  MemberPipe(Handoff& handoff, std::size_t chunkSize, std::function<void()> packingEnded)
      : handoff_(handoff), chunkSize_(chunkSize), packingEnded_(std::move(packingEnded)) {}

  void Write(std::span<const std::byte> bytes) override {
    if (ended_) throw Error(kInvalidArgument, kSourceZip, "A member was written after its end");
    while (!bytes.empty()) {
      const std::size_t count = std::min(bytes.size(), chunkSize_ - filling_.size());
      const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
      filling_.insert(filling_.end(), data, data + count);
      bytes = bytes.subspan(count);
      written_ += count;
      if (filling_.size() == chunkSize_) HandOver(false);
    }
  }
  void End() {
    if (ended_) return;
    HandOver(true);
    ended_ = true;
  }
  bool Ended() const { return ended_; }
  std::uint64_t Size() const { return written_; }

  // The worker: the next chunk, and whether it is the member's last.
  bool Take(Bytes& chunk) {
    std::unique_lock lock(handoff_.mutex);
    handoff_.changed.wait(lock, [this] { return full_ || handoff_.aborted; });
    if (handoff_.aborted) throw StopRequested{};
    chunk = std::move(queued_);
    queued_ = Bytes();
    full_ = false;
    handoff_.changed.notify_all();
    return queuedLast_;
  }

 private:
  void HandOver(bool last) {
    {
      std::unique_lock lock(handoff_.mutex);
      handoff_.changed.wait(lock, [this] { return !full_ || handoff_.workerDone || handoff_.aborted; });
      if (!handoff_.workerDone && !handoff_.aborted) {
        queued_ = std::move(filling_);
        queuedLast_ = last;
        full_ = true;
        handoff_.changed.notify_all();
        // A member that filled one chunk likely fills the next: no growing it piece by piece.
        filling_ = Bytes();
        if (!last) filling_.reserve(chunkSize_);
        return;
      }
    }
    packingEnded_();  // throws why the packing ended
  }

  Handoff& handoff_;
  std::size_t chunkSize_;
  std::function<void()> packingEnded_;
  Bytes filling_;
  std::uint64_t written_ = 0;
  bool ended_ = false;
  // Guarded by the handoff's mutex.
  Bytes queued_;
  bool queuedLast_ = false;
  bool full_ = false;
};

namespace {

constexpr const char* kSource = kSourceZip;
constexpr std::uint64_t kProgressStep = 1 << 20;  // stored members report once per MiB read

bool IsDiskFull(const std::error_code& error) {
  return error == std::errc::no_space_on_device ||
         (error.category() == std::generic_category() && error.value() == EDQUOT);
}

// Progress of one packing attempt, shared by the members' sources, and what stopped it. A packing that runs
// while its members are written records its progress in the handoff instead of raising it.
struct Progress {
  Progress(ZipEvents& events, std::uint64_t total, Handoff* handoff)
      : status(events, total), handoff(handoff) {}

  // `percent`: fixed, or -1 for the share of the member's `size` done.
  void Report(std::size_t member, const std::string& name, std::uint64_t done, std::uint64_t size,
              int percent, bool newItem) {
    if (handoff != nullptr)
      handoff->Push({Handoff::Record::kReport, member, done, percent, newItem});
    else
      status.Report(name, done, percent >= 0 ? percent : Percent(done, size), newItem);
  }
  void ItemFinished(std::uint64_t bytes) {
    if (handoff != nullptr)
      handoff->Push({Handoff::Record::kFinished, 0, bytes});
    else
      status.ItemFinished(bytes);
  }
  void Complete() {
    if (handoff != nullptr)
      handoff->Push({Handoff::Record::kComplete});
    else
      status.Complete();
  }

  StatusReport<ZipEvents> status;
  Handoff* handoff;
  bool stopped = false;
  std::exception_ptr failure;
};

// One file as a libzip source. A deflated member is handed over already compressed (its stat says
// ZIP_CM_DEFLATE, and the CRC once the whole file has been read), so libzip copies the bytes without
// touching zlib; a stored member is read as it is and libzip computes its CRC. A member written while it
// is packed comes from its pipe instead of the file, and its size is known only at its end.
class MemberSource {
 public:
  MemberSource(Progress& progress, std::size_t index, fs::path path, std::string name, std::uint64_t size,
               std::int64_t mtime, ChunkedDeflater* deflater, std::size_t chunkSize, MemberPipe* pipe)
      : progress_(progress),
        index_(index),
        path_(std::move(path)),
        name_(std::move(name)),
        size_(size),
        mtime_(mtime),
        deflater_(deflater),
        chunkSize_(chunkSize),
        pipe_(pipe) {
    zip_error_init(&error_);
  }
  ~MemberSource() { zip_error_fini(&error_); }
  MemberSource(const MemberSource&) = delete;
  MemberSource& operator=(const MemberSource&) = delete;

  // Exceptions stop here: libzip is C and must see an error code instead.
  static zip_int64_t Callback(void* state, void* data, zip_uint64_t length,
                              zip_source_cmd_t command) noexcept {
    auto* self = static_cast<MemberSource*>(state);
    try {
      return self->Handle(data, length, command);
    } catch (const StopRequested&) {
      self->progress_.stopped = true;
      zip_error_set(&self->error_, ZIP_ER_CANCELLED, 0);
    } catch (...) {
      if (!self->progress_.failure) self->progress_.failure = std::current_exception();
      zip_error_set(&self->error_, ZIP_ER_INTERNAL, 0);
    }
    return -1;
  }

 private:
  zip_int64_t Handle(void* data, zip_uint64_t length, zip_source_cmd_t command) {
    switch (command) {
      case ZIP_SOURCE_OPEN:
        Open();
        return 0;
      case ZIP_SOURCE_READ:
        return Read(static_cast<std::uint8_t*>(data), length);
      case ZIP_SOURCE_CLOSE:
        Close();
        return 0;
      case ZIP_SOURCE_STAT: {
        auto* stat = ZIP_SOURCE_GET_ARGS(zip_stat_t, data, length, &error_);
        if (stat == nullptr) return -1;
        zip_stat_init(stat);
        stat->valid = ZIP_STAT_MTIME | ZIP_STAT_COMP_METHOD;
        if (finished_ || pipe_ == nullptr) {
          stat->valid |= ZIP_STAT_SIZE;
          stat->size = finished_ ? read_ : size_;
        }
        stat->mtime = static_cast<time_t>(mtime_);
        stat->comp_method = deflater_ != nullptr ? ZIP_CM_DEFLATE : ZIP_CM_STORE;
        if (finished_ && deflater_ != nullptr) {
          stat->valid |= ZIP_STAT_CRC;
          stat->crc = crc_;
        }
        return sizeof(zip_stat_t);
      }
      case ZIP_SOURCE_ERROR:
        return zip_error_to_data(&error_, data, length);
      case ZIP_SOURCE_FREE:
        return 0;
      case ZIP_SOURCE_SUPPORTS:
        return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE,
                                              ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, -1);
      default:
        zip_error_set(&error_, ZIP_ER_OPNOTSUPP, 0);
        return -1;
    }
  }

  [[noreturn]] void ReadFailed(int error) const {
    throw Error(error == ENOENT ? kFileNotFound : kPathAccess, kSource,
                "Cannot read the file " + path_.string() + " for member " + Quote(name_) + ": " +
                    std::strerror(error));
  }

  void Open() {
    Close();
    if (pipe_ != nullptr) {
      // Its bytes pass once.
      if (opened_)
        throw Error(kGeneralFailure, kSource, "The member " + Quote(name_) + " was asked for a second time");
      opened_ = true;
    } else {
      fd_ = utils::FileDescriptor(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
      if (!fd_.IsOpen()) ReadFailed(errno);
    }
    read_ = consumed_ = 0;
    crc_ = 0;
    finished_ = inputEnded_ = false;
    piece_.clear();
    position_ = 0;
    lengths_.clear();
    progress_.Report(index_, name_, 0, size_, 0, true);
  }

  // Only read: closing cannot lose data.
  void Close() { fd_ = utils::FileDescriptor(); }

  std::size_t ReadInto(std::uint8_t* buffer, std::size_t size) {
    if (pipe_ != nullptr) {
      std::size_t done = 0;
      while (done < size) {
        if (takenAt_ == taken_.size()) {
          if (takenLast_) break;
          takenLast_ = pipe_->Take(taken_);
          takenAt_ = 0;
          continue;
        }
        const std::size_t count = std::min(size - done, taken_.size() - takenAt_);
        std::memcpy(buffer + done, taken_.data() + takenAt_, count);
        takenAt_ += count;
        done += count;
      }
      return done;
    }
    std::error_code error;
    std::size_t done = fd_.ReadAll(buffer, size, error);
    if (error) ReadFailed(error.value());
    return done;
  }

  void Finish() {
    finished_ = true;
    progress_.Report(index_, name_, read_, size_, 100, false);
    progress_.ItemFinished(read_);
  }

  zip_int64_t Read(std::uint8_t* buffer, zip_uint64_t length) {
    if (deflater_ == nullptr) {
      if (finished_) return 0;
      std::size_t count = ReadInto(buffer, static_cast<std::size_t>(length));
      if (count == 0) {
        Finish();
        return 0;
      }
      std::uint64_t before = read_;
      read_ += count;
      if (read_ / kProgressStep != before / kProgressStep)
        progress_.Report(index_, name_, read_, size_, -1, false);
      return static_cast<zip_int64_t>(count);
    }
    while (position_ == piece_.size()) {
      if (finished_) return 0;
      if (inputEnded_ && deflater_->Pending() == 0) {
        Finish();
        return 0;
      }
      Feed();
      piece_ = deflater_->Next();
      position_ = 0;
      consumed_ += lengths_.front();
      lengths_.pop_front();
      progress_.Report(index_, name_, consumed_, size_, -1, false);
    }
    std::size_t count = std::min<std::size_t>(static_cast<std::size_t>(length), piece_.size() - position_);
    std::memcpy(buffer, piece_.data() + position_, count);
    position_ += count;
    return static_cast<zip_int64_t>(count);
  }

  // Reads the next chunk, sized to what the file was planned to hold so that a small member costs no
  // full-size buffer. A short read is the end of the file, and the chunk that has it is the last one: the
  // one byte asked for beyond the planned size shows a file that grew meanwhile, which goes on in full
  // chunks.
  Bytes ReadChunk(bool& ended) {
    if (pipe_ != nullptr) {
      Bytes chunk;
      ended = pipe_->Take(chunk);
      // An empty chunk has no buffer, and libdeflate starts the CRC again on a null one.
      if (!chunk.empty()) crc_ = libdeflate_crc32(crc_, chunk.data(), chunk.size());
      read_ += chunk.size();
      return chunk;
    }
    std::size_t wanted = chunkSize_;
    if (read_ <= size_ && size_ - read_ < chunkSize_) wanted = static_cast<std::size_t>(size_ - read_) + 1;
    Bytes chunk(wanted);
    chunk.resize(ReadInto(chunk.data(), chunk.size()));
    ended = chunk.size() < wanted;
    crc_ = libdeflate_crc32(crc_, chunk.data(), chunk.size());
    read_ += chunk.size();
    return chunk;
  }

  // Keeps the workers busy: the last chunk keeps its final block.
  void Feed() {
    while (!inputEnded_ && deflater_->Pending() < deflater_->Depth()) {
      Bytes chunk = ReadChunk(inputEnded_);
      lengths_.push_back(chunk.size());
      deflater_->Submit(std::move(chunk), inputEnded_);
    }
  }

  Progress& progress_;
  std::size_t index_;
  fs::path path_;
  std::string name_;
  std::uint64_t size_;
  std::int64_t mtime_;
  ChunkedDeflater* deflater_;
  std::size_t chunkSize_;
  MemberPipe* pipe_;
  zip_error_t error_;
  bool opened_ = false;

  utils::FileDescriptor fd_;
  std::uint64_t read_ = 0;      // bytes read from the file
  std::uint64_t consumed_ = 0;  // bytes whose compressed piece went to libzip
  std::uint32_t crc_ = 0;
  bool finished_ = false;
  bool inputEnded_ = false;
  Bytes piece_;
  std::size_t position_ = 0;
  std::deque<std::size_t> lengths_;  // input length of each queued chunk
  Bytes taken_;                      // a stored member's chunk from its pipe, and how far it was read
  std::size_t takenAt_ = 0;
  bool takenLast_ = false;
};

// The archive file as a libzip write source over an ArchiveFile.
class ArchiveSink {
 public:
  // With a `handoff`, the complete archive waits for the caller's verdict before it replaces the destination.
  ArchiveSink(std::unique_ptr<ArchiveFile> file, Handoff* handoff)
      : file_(std::move(file)), handoff_(handoff) {
    zip_error_init(&error_);
  }
  ~ArchiveSink() {
    file_->Rollback();
    zip_error_fini(&error_);
  }
  ArchiveSink(const ArchiveSink&) = delete;
  ArchiveSink& operator=(const ArchiveSink&) = delete;

  const std::error_code& Failure() const { return failure_; }

  static zip_int64_t Callback(void* state, void* data, zip_uint64_t length,
                              zip_source_cmd_t command) noexcept {
    auto* self = static_cast<ArchiveSink*>(state);
    try {
      return self->Handle(data, length, command);
    } catch (...) {
      zip_error_set(&self->error_, ZIP_ER_MEMORY, 0);
      return -1;
    }
  }

 private:
  zip_int64_t Failed(int code, std::error_code error) {
    if (!failure_) failure_ = error;
    zip_error_set(&error_, code, error.value());
    return -1;
  }

  zip_int64_t Handle(void* data, zip_uint64_t length, zip_source_cmd_t command) {
    switch (command) {
      case ZIP_SOURCE_STAT:
        // Always a new archive: the destination is replaced, never updated.
        zip_error_set(&error_, ZIP_ER_READ, ENOENT);
        return -1;
      case ZIP_SOURCE_BEGIN_WRITE:
      case ZIP_SOURCE_REMOVE:
      case ZIP_SOURCE_FREE:
        return 0;
      case ZIP_SOURCE_WRITE: {
        auto bytes = std::span(static_cast<const std::byte*>(data), static_cast<std::size_t>(length));
        if (auto error = file_->Write(bytes)) return Failed(ZIP_ER_WRITE, error);
        end_ = std::max(end_, file_->Tell());
        return static_cast<zip_int64_t>(length);
      }
      case ZIP_SOURCE_SEEK_WRITE: {
        auto* seek = ZIP_SOURCE_GET_ARGS(zip_source_args_seek_t, data, length, &error_);
        if (seek == nullptr) return -1;
        std::int64_t base = seek->whence == SEEK_SET   ? 0
                            : seek->whence == SEEK_CUR ? static_cast<std::int64_t>(file_->Tell())
                                                       : static_cast<std::int64_t>(end_);
        std::int64_t target = base + seek->offset;
        if (target < 0) {
          zip_error_set(&error_, ZIP_ER_INVAL, 0);
          return -1;
        }
        if (auto error = file_->Seek(static_cast<std::uint64_t>(target))) return Failed(ZIP_ER_SEEK, error);
        return 0;
      }
      case ZIP_SOURCE_TELL_WRITE:
        return static_cast<zip_int64_t>(file_->Tell());
      case ZIP_SOURCE_COMMIT_WRITE:
        if (handoff_ != nullptr && !handoff_->AwaitCommit()) {
          zip_error_set(&error_, ZIP_ER_CANCELLED, 0);
          return -1;
        }
        if (auto error = file_->Commit()) return Failed(ZIP_ER_WRITE, error);
        return 0;
      case ZIP_SOURCE_ROLLBACK_WRITE:
        file_->Rollback();
        return 0;
      case ZIP_SOURCE_ERROR:
        return zip_error_to_data(&error_, data, length);
      case ZIP_SOURCE_SUPPORTS:
        return ZIP_SOURCE_SUPPORTS_WRITABLE;
      default:
        zip_error_set(&error_, ZIP_ER_OPNOTSUPP, 0);
        return -1;
    }
  }

  std::unique_ptr<ArchiveFile> file_;
  Handoff* handoff_;
  std::error_code failure_;
  zip_error_t error_;
  std::uint64_t end_ = 0;
};

}  // namespace

void ZipEvents::MajorStatus(std::string&, std::int32_t&, std::int32_t&) {}
void ZipEvents::MinorStatus(std::string&, std::int32_t&, std::int32_t&) {}
void ZipEvents::MessageCallback(std::int32_t&, std::int32_t&, std::int32_t&, std::int32_t&) {}
void ZipEvents::RenameCallback(std::string&, std::string&) {}

std::vector<fs::path> ParseFileList(std::string_view list) {
  std::vector<fs::path> files;
  std::size_t position = 0;
  while (position < list.size()) {
    if (list[position] == ' ') {
      ++position;
      continue;
    }
    if (list[position] != '"')
      throw Error(kInvalidArgument, kSource,
                  "The file list has " + Quote(list.substr(position, 1)) + " outside quotes at position " +
                      std::to_string(position + 1));
    std::size_t close = list.find('"', position + 1);
    if (close == std::string_view::npos)
      throw Error(kInvalidArgument, kSource,
                  "The file list has an unterminated quote at position " + std::to_string(position + 1));
    if (close == position + 1)
      throw Error(kInvalidArgument, kSource,
                  "The file list has an empty path at position " + std::to_string(position + 1));
    files.emplace_back(std::string(list.substr(position + 1, close - position - 1)));
    position = close + 1;
  }
  return files;
}

std::string QuoteFileListEntry(std::string_view path) {
  return "\"" + std::string(path) + "\" ";
}

int DeflateEffortFor(int level) {
  static constexpr int kEffort[kMaxCompressionLevel + 1] = {0, 1, 2, 3, 4, 5, 6, 6, 6, 6, 10, 11, 12};
  return kEffort[std::clamp(level, 0, kMaxCompressionLevel)];
}

ZipControl::ZipControl(ZipEvents* events, const Drive& drive)
    : events_(events != nullptr ? events : &NoEvents<ZipEvents>()),
      drive_(drive),
      threads_(DefaultDeflateThreads()) {}

void ZipControl::SetCompressionLevel(int level) {
  if (level < 0 || level > kMaxCompressionLevel)
    throw Error(kInvalidArgument, kSource,
                "Compression level " + std::to_string(level) + " is not between 0 and " +
                    std::to_string(kMaxCompressionLevel));
  level_ = level;
}

void ZipControl::SetDeflateEffort(int effort) {
  if (effort < 1 || effort > 12)
    throw Error(kInvalidArgument, kSource,
                "Deflate effort " + std::to_string(effort) + " is not between 1 and 12");
  effort_ = effort;
}

std::vector<ZipControl::Member> ZipControl::Plan(const std::vector<fs::path>& written) {
  if (archivePath_.empty()) throw Error(kInvalidArgument, kSource, "No archive path was given to pack into");
  if (files_.empty() && written.empty())
    throw Error(kInvalidArgument, kSource,
                "The file list names no file to pack into " + archivePath_.string());
  std::vector<Member> members;
  std::map<std::string, fs::path> stored;
  std::vector<fs::path> all = files_;
  all.insert(all.end(), written.begin(), written.end());
  const std::int64_t now = static_cast<std::int64_t>(::time(nullptr));
  for (std::size_t i = 0; i < all.size(); ++i) {
    const fs::path& file = all[i];
    const bool isWritten = i >= files_.size();
    struct stat info {};
    if (isWritten) {
      info.st_mode = S_IFREG;
      info.st_mtime = now;
    } else if (::stat(file.c_str(), &info) != 0) {
      int error = errno;
      throw Error(error == ENOENT || error == ENOTDIR ? kFileNotFound : kPathAccess, kSource,
                  "Cannot pack the file " + file.string() + ": " + std::strerror(error));
    }
    if (!S_ISREG(info.st_mode))
      throw Error(kPathAccess, kSource, "Cannot pack " + file.string() + ": it is not a regular file");
    std::string name = file.filename().string();
    std::string path = file.string();
    events_->RenameCallback(name, path);
    std::vector<std::string> parts;
    std::string problem = CheckMemberName(name, parts);
    if (problem.empty() && name.back() == '/') problem = "ends with a folder separator";
    if (!problem.empty())
      throw Error(
          kInvalidArgument, kSource,
          "Cannot store the file " + file.string() + " as member " + Quote(name) + ": the name " + problem);
    auto [existing, added] = stored.emplace(name, file);
    if (!added)
      throw Error(kInvalidArgument, kSource,
                  "Two files would be stored as member " + Quote(name) + ": " + existing->second.string() +
                      " and " + file.string());
    members.push_back({file, name, static_cast<std::uint64_t>(info.st_size),
                       static_cast<std::int64_t>(info.st_mtime), isWritten});
  }
  return members;
}

ZipOutcome ZipControl::Pack() {
  std::vector<Member> members = Plan();
  bool removable = !CanPackWhileWriting();
  int prompts = 0;
  for (;;) {
    if (removable) {
      bool wanted = true;
      while (wanted) {
        if (++prompts > kMaxDiskPrompts) throw DiskFull();
        if (!AskForDisk(*events_, kFirstDisk)) return ZipOutcome::kStopped;
        std::optional<std::uint64_t> free = drive_.FreeSpace(archivePath_);
        wanted = !free.has_value() || *free == 0;
      }
    }
    switch (PackOnce(members)) {
      case Attempt::kCompleted:
        return ZipOutcome::kCompleted;
      case Attempt::kStopped:
        return ZipOutcome::kStopped;
      case Attempt::kDiskFull:
        if (!removable) throw DiskFull();
        break;  // ask for another disk and write the whole archive again
    }
  }
}

bool ZipControl::CanPackWhileWriting() const {
  return !(removable_.has_value() ? *removable_ : drive_.IsRemovable(archivePath_));
}

Error ZipControl::DiskFull() const {
  return Error(kDiskFull, kSource,
               "There is not enough space on the disk to write the archive " + archivePath_.string());
}

std::unique_ptr<ArchiveFile> ZipControl::CreateArchive(bool& diskFull) {
  std::error_code created;
  std::unique_ptr<ArchiveFile> file = drive_.CreateArchiveFile(archivePath_, created);
  diskFull = file == nullptr && IsDiskFull(created);
  if (file == nullptr && !diskFull)
    throw Error(kPathAccess, kSource,
                "Cannot create the archive " + archivePath_.string() + ": " + created.message());
  return file;
}

ZipControl::Attempt ZipControl::PackOnce(const std::vector<Member>& members, Handoff* handoff,
                                         const std::vector<MemberPipe*>& pipes,
                                         std::unique_ptr<ArchiveFile> file) {
  const std::string archive = archivePath_.string();
  bool diskFull = false;
  if (file == nullptr) file = CreateArchive(diskFull);
  if (diskFull) return Attempt::kDiskFull;
  // Declaration order is destruction order in reverse: the archive handle goes first, while the sources it
  // refers to still exist.
  ArchiveSink sink(std::move(file), handoff);
  std::uint64_t total = 0;
  for (const Member& member : members) total += member.size;
  Progress progress(*events_, total, handoff);
  std::unique_ptr<ChunkedDeflater> deflater;
  if (level_ > 0)
    deflater = std::make_unique<ChunkedDeflater>(effort_.value_or(DeflateEffortFor(level_)), threads_);
  std::vector<std::unique_ptr<MemberSource>> sources;

  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* output = zip_source_function_create(&ArchiveSink::Callback, &sink, &error);
  zip_t* opened =
      output != nullptr ? zip_open_from_source(output, ZIP_CREATE | ZIP_TRUNCATE, &error) : nullptr;
  if (opened == nullptr) {
    if (output != nullptr) zip_source_free(output);
    std::string why = zip_error_strerror(&error);
    zip_error_fini(&error);
    throw Error(kPathAccess, kSource, "Cannot create the archive " + archive + ": " + why);
  }
  zip_error_fini(&error);
  Archive zip(opened);

  for (std::size_t i = 0; i < members.size(); ++i) {
    const Member& member = members[i];
    sources.push_back(std::make_unique<MemberSource>(progress, i, member.path, member.name, member.size,
                                                     member.mtime, deflater.get(), chunkSize_,
                                                     i < pipes.size() ? pipes[i] : nullptr));
    zip_source_t* source = zip_source_function(zip.get(), &MemberSource::Callback, sources.back().get());
    zip_int64_t index =
        source != nullptr ? zip_file_add(zip.get(), member.name.c_str(), source, ZIP_FL_ENC_UTF_8) : -1;
    if (index < 0) {
      if (source != nullptr) zip_source_free(source);
      throw Error(kPathAccess, kSource,
                  "Cannot add the member " + Quote(member.name) + " to the archive " + archive + ": " +
                      zip_strerror(zip.get()));
    }
    auto entry = static_cast<zip_uint64_t>(index);
    if (level_ == 0) zip_set_file_compression(zip.get(), entry, ZIP_CM_STORE, 0);
    zip_file_set_external_attributes(zip.get(), entry, 0, ZIP_OPSYS_UNIX,
                                     static_cast<zip_uint32_t>(S_IFREG | 0644) << 16);
    // A member already deflated by us is encrypted as it is: libzip only adds its AES layer on top.
    if (!password_.empty() &&
        zip_file_set_encryption(zip.get(), entry, ZIP_EM_AES_256, password_.c_str()) != 0)
      throw Error(kGeneralFailure, kSource,
                  "Cannot encrypt the member " + Quote(member.name) + " of the archive " + archive + ": " +
                      zip_strerror(zip.get()));
  }

  if (zip_close(zip.get()) == 0) {
    zip.release();
    progress.Complete();
    return Attempt::kCompleted;
  }
  if (progress.failure) std::rethrow_exception(progress.failure);
  if (progress.stopped || (handoff != nullptr && handoff->Aborted())) return Attempt::kStopped;
  if (IsDiskFull(sink.Failure())) return Attempt::kDiskFull;
  throw Error(kPathAccess, kSource, "Cannot write the archive " + archive + ": " + zip_strerror(zip.get()));
}

// ---------------------------------------------------------------------------------------------------------
// Packing while the members are written

struct ZipWriting::State {
  State(ZipControl& control, std::vector<ZipControl::Member> members, std::unique_ptr<ArchiveFile> file)
      : control(control),
        members(std::move(members)),
        file(std::move(file)),
        writes(utils::CurrentWrites()) {}

  // The worker: the archive's writes go through the caller's writes, as Pack() on the caller's thread would.
  void Run() {
    utils::WritesScope scope(writes);
    try {
      attempt = control.PackOnce(members, &handoff, pipeOf, std::move(file));
    } catch (...) {
      failure = std::current_exception();
    }
    std::lock_guard lock(handoff.mutex);
    handoff.workerDone = true;
    handoff.changed.notify_all();
  }

  void Join() {
    if (worker.joinable()) worker.join();
  }

  // Why the packing ended before its members were all written: its failure, or a stop.
  [[noreturn]] void Ended() {
    Join();
    if (failure) std::rethrow_exception(failure);
    if (attempt == ZipControl::Attempt::kDiskFull) throw control.DiskFull();
    throw Error(
        kGeneralFailure, kSource,
        "The archive " + control.archivePath_.string() + " stopped before all its members were written");
  }

  ZipControl& control;
  std::vector<ZipControl::Member> members;
  std::unique_ptr<ArchiveFile>
      file;  // made on the caller's thread, so that a destination refused fails Begin
  FileWrites* writes;
  Handoff handoff;
  std::vector<std::unique_ptr<MemberPipe>> pipes;  // the written members, in order
  std::vector<MemberPipe*> pipeOf;                 // per member; null for a file
  std::size_t firstWritten = 0;
  std::size_t next = 0;  // the written member the caller may write now
  std::thread worker;
  // The worker's outcome, read after Join().
  ZipControl::Attempt attempt = ZipControl::Attempt::kStopped;
  std::exception_ptr failure;
};

std::unique_ptr<ZipWriting> ZipControl::Begin(const std::vector<fs::path>& written) {
  if (!CanPackWhileWriting())
    throw Error(
        kInvalidArgument, kSource,
        "The archive " + archivePath_.string() + " is on removable media: its members are packed from files");
  std::vector<Member> members = Plan(written);
  bool diskFull = false;
  std::unique_ptr<ArchiveFile> file = CreateArchive(diskFull);
  if (diskFull) throw DiskFull();
  auto state = std::make_unique<ZipWriting::State>(*this, std::move(members), std::move(file));
  state->firstWritten = files_.size();
  state->pipeOf.assign(state->members.size(), nullptr);
  ZipWriting::State& shared = *state;
  for (std::size_t i = state->firstWritten; i < state->members.size(); ++i) {
    state->pipes.push_back(
        std::make_unique<MemberPipe>(state->handoff, chunkSize_, [&shared] { shared.Ended(); }));
    state->pipeOf[i] = state->pipes.back().get();
  }
  // The packing owns the worker before it starts, so that nothing can leave the thread unjoined.
  std::unique_ptr<ZipWriting> writing(new ZipWriting(std::move(state)));
  shared.worker = std::thread([&shared] { shared.Run(); });
  return writing;
}

ZipWriting::ZipWriting(std::unique_ptr<State> state) : state_(std::move(state)) {}

ZipWriting::~ZipWriting() {
  state_->handoff.Abort();
  state_->Join();
}

utils::ByteSink& ZipWriting::Member(std::size_t index) {
  if (index != state_->next || index >= state_->pipes.size())
    throw Error(kInvalidArgument, kSource,
                "Member " + std::to_string(index) + " of those written while packing is not the next one");
  return *state_->pipes[index];
}

void ZipWriting::EndMember(std::size_t index) {
  Member(index);
  state_->pipes[index]->End();
  ++state_->next;
}

ZipOutcome ZipWriting::Finish() {
  State& state = *state_;
  if (state.next != state.pipes.size())
    throw Error(kInvalidArgument, kSource,
                "Only " + std::to_string(state.next) + " of the " + std::to_string(state.pipes.size()) +
                    " members written while packing were written");
  std::vector<std::uint64_t> sizes;
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < state.members.size(); ++i) {
    sizes.push_back(state.pipeOf[i] != nullptr ? state.pipeOf[i]->Size() : state.members[i].size);
    total += sizes.back();
  }
  StatusReport<ZipEvents> status(*state.control.events_, total);
  auto raise = [&](const Handoff::Record& record) {
    switch (record.kind) {
      case Handoff::Record::kReport: {
        const std::uint64_t size = sizes[record.member];
        status.Report(state.members[record.member].name, record.done,
                      record.percent >= 0 ? record.percent : Percent(record.done, size), record.newItem);
        break;
      }
      case Handoff::Record::kFinished:
        status.ItemFinished(record.done);
        break;
      case Handoff::Record::kComplete:
        status.Complete();
        break;
    }
  };
  // The worker's records in order; the verdict once they are all raised and the archive is complete.
  try {
    for (;;) {
      Handoff::Record record;
      {
        std::unique_lock lock(state.handoff.mutex);
        state.handoff.changed.wait(lock, [&] {
          return !state.handoff.records.empty() || state.handoff.atCommit || state.handoff.workerDone;
        });
        if (state.handoff.records.empty()) {
          if (!state.handoff.workerDone) {
            state.handoff.commit = true;
            state.handoff.changed.notify_all();
          }
          break;
        }
        record = state.handoff.records.front();
        state.handoff.records.pop_front();
      }
      raise(record);
    }
  } catch (const StopRequested&) {
    state.handoff.Abort();
    state.Join();
    return ZipOutcome::kStopped;
  }
  state.Join();
  if (state.failure) std::rethrow_exception(state.failure);
  switch (state.attempt) {
    case ZipControl::Attempt::kCompleted:
      for (const Handoff::Record& record : state.handoff.records) raise(record);
      return ZipOutcome::kCompleted;
    case ZipControl::Attempt::kStopped:
      return ZipOutcome::kStopped;
    case ZipControl::Attempt::kDiskFull:
      break;
  }
  throw state.control.DiskFull();
}

}  // namespace vela::zip
