#include "platform/zip/ZipControl.h"

#include <fcntl.h>
#include <libdeflate.h>
#include <sys/stat.h>
#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <exception>
#include <map>
#include <memory>

#include "platform/utils/FileDescriptor.h"
#include "platform/zip/ChunkedDeflate.h"
#include "platform/zip/ControlCommon.h"
#include "platform/zip/MemberName.h"
#include "platform/zip/StatusReport.h"

namespace vela::zip {
namespace fs = std::filesystem;

namespace {

constexpr const char* kSource = kSourceZip;
constexpr std::uint64_t kProgressStep = 1 << 20;  // stored members report once per MiB read

bool IsDiskFull(const std::error_code& error) {
  return error == std::errc::no_space_on_device ||
         (error.category() == std::generic_category() && error.value() == EDQUOT);
}

// Progress of one packing attempt, shared by the members' sources, and what stopped it.
struct Progress : StatusReport<ZipEvents> {
  using StatusReport::StatusReport;
  bool stopped = false;
  std::exception_ptr failure;
};

// One file as a libzip source. A deflated member is handed over already compressed (its stat says
// ZIP_CM_DEFLATE, and the CRC once the whole file has been read), so libzip copies the bytes without
// touching zlib; a stored member is read as it is and libzip computes its CRC.
class MemberSource {
 public:
  MemberSource(Progress& progress, fs::path path, std::string name, std::uint64_t size, std::int64_t mtime,
               ChunkedDeflater* deflater, std::size_t chunkSize)
      : progress_(progress),
        path_(std::move(path)),
        name_(std::move(name)),
        size_(size),
        mtime_(mtime),
        deflater_(deflater),
        chunkSize_(chunkSize) {
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
        stat->valid = ZIP_STAT_SIZE | ZIP_STAT_MTIME | ZIP_STAT_COMP_METHOD;
        stat->size = finished_ ? read_ : size_;
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
    fd_ = utils::FileDescriptor(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd_.IsOpen()) ReadFailed(errno);
    read_ = consumed_ = 0;
    crc_ = 0;
    finished_ = inputEnded_ = false;
    piece_.clear();
    position_ = 0;
    lengths_.clear();
    progress_.Report(name_, 0, 0, true);
  }

  // Only read: closing cannot lose data.
  void Close() { fd_ = utils::FileDescriptor(); }

  std::size_t ReadInto(std::uint8_t* buffer, std::size_t size) {
    std::error_code error;
    std::size_t done = fd_.ReadAll(buffer, size, error);
    if (error) ReadFailed(error.value());
    return done;
  }

  void Finish() {
    finished_ = true;
    progress_.Report(name_, read_, 100, false);
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
        progress_.Report(name_, read_, Percent(read_, size_), false);
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
      progress_.Report(name_, consumed_, Percent(consumed_, size_), false);
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
  fs::path path_;
  std::string name_;
  std::uint64_t size_;
  std::int64_t mtime_;
  ChunkedDeflater* deflater_;
  std::size_t chunkSize_;
  zip_error_t error_;

  utils::FileDescriptor fd_;
  std::uint64_t read_ = 0;      // bytes read from the file
  std::uint64_t consumed_ = 0;  // bytes whose compressed piece went to libzip
  std::uint32_t crc_ = 0;
  bool finished_ = false;
  bool inputEnded_ = false;
  Bytes piece_;
  std::size_t position_ = 0;
  std::deque<std::size_t> lengths_;  // input length of each queued chunk
};

// The archive file as a libzip write source over an ArchiveFile.
class ArchiveSink {
 public:
  explicit ArchiveSink(std::unique_ptr<ArchiveFile> file) : file_(std::move(file)) {
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

std::vector<ZipControl::Member> ZipControl::Plan() {
  if (archivePath_.empty()) throw Error(kInvalidArgument, kSource, "No archive path was given to pack into");
  if (files_.empty())
    throw Error(kInvalidArgument, kSource,
                "The file list names no file to pack into " + archivePath_.string());
  std::vector<Member> members;
  std::map<std::string, fs::path> stored;
  for (const fs::path& file : files_) {
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0) {
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
    members.push_back(
        {file, name, static_cast<std::uint64_t>(info.st_size), static_cast<std::int64_t>(info.st_mtime)});
  }
  return members;
}

ZipOutcome ZipControl::Pack() {
  std::vector<Member> members = Plan();
  bool removable = removable_.has_value() ? *removable_ : drive_.IsRemovable(archivePath_);
  auto diskFull = [this] {
    return Error(kDiskFull, kSource,
                 "There is not enough space on the disk to write the archive " + archivePath_.string());
  };
  int prompts = 0;
  for (;;) {
    if (removable) {
      bool wanted = true;
      while (wanted) {
        if (++prompts > kMaxDiskPrompts) throw diskFull();
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
        if (!removable) throw diskFull();
        break;  // ask for another disk and write the whole archive again
    }
  }
}

ZipControl::Attempt ZipControl::PackOnce(const std::vector<Member>& members) {
  const std::string archive = archivePath_.string();
  std::error_code created;
  std::unique_ptr<ArchiveFile> file = drive_.CreateArchiveFile(archivePath_, created);
  if (file == nullptr) {
    if (IsDiskFull(created)) return Attempt::kDiskFull;
    throw Error(kPathAccess, kSource, "Cannot create the archive " + archive + ": " + created.message());
  }
  // Declaration order is destruction order in reverse: the archive handle goes first, while the sources it
  // refers to still exist.
  ArchiveSink sink(std::move(file));
  std::uint64_t total = 0;
  for (const Member& member : members) total += member.size;
  Progress progress(*events_, total);
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

  for (const Member& member : members) {
    sources.push_back(std::make_unique<MemberSource>(progress, member.path, member.name, member.size,
                                                     member.mtime, deflater.get(), chunkSize_));
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
  if (progress.stopped) return Attempt::kStopped;
  if (IsDiskFull(sink.Failure())) return Attempt::kDiskFull;
  throw Error(kPathAccess, kSource, "Cannot write the archive " + archive + ": " + zip_strerror(zip.get()));
}

}  // namespace vela::zip
