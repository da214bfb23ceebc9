#include "platform/zip/ArchiveReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string_view>

#include "platform/text/Strings.h"
#include "platform/utils/FileDescriptor.h"

namespace vela::zip {
namespace {

constexpr std::size_t kPieceSize = 1 << 20;

[[noreturn]] void Damaged(const std::filesystem::path& archivePath, const std::string& what) {
  throw Error(kDamagedArchive, kSourceUnzip,
              "The backup file " + archivePath.string() + " is damaged: " + what);
}

[[noreturn]] void PasswordRefused(const std::filesystem::path& archivePath, bool given) {
  throw Error(kArchivePassword, kSourceUnzip,
              given ? "The password given does not open the backup file " + archivePath.string()
                    : "The backup file " + archivePath.string() +
                          " is encrypted: it cannot be read without its password");
}

}  // namespace

bool UsePassword(zip_t* archive, const std::filesystem::path& archivePath, const std::string& password,
                 bool passwordRequired) {
  if (!password.empty() && zip_set_default_password(archive, password.c_str()) != 0)
    throw Error(kOutOfMemory, kSourceUnzip,
                "Out of memory while opening the backup file " + archivePath.string());
  zip_int64_t count = zip_get_num_entries(archive, 0);
  for (zip_uint64_t index = 0; count > 0 && index < static_cast<zip_uint64_t>(count); ++index) {
    zip_stat_t stat;
    if (zip_stat_index(archive, index, 0, &stat) != 0 || (stat.valid & ZIP_STAT_ENCRYPTION_METHOD) == 0 ||
        stat.encryption_method == ZIP_EM_NONE)
      continue;
    const char* name = (stat.valid & ZIP_STAT_NAME) != 0 ? stat.name : "?";
    if (!zip_encryption_method_supported(stat.encryption_method, 0))
      Damaged(archivePath, "member " + Quote(name) + " uses encryption method " +
                               std::to_string(stat.encryption_method) + ", which cannot be read");
    if (password.empty()) {
      if (passwordRequired) PasswordRefused(archivePath, false);
      return true;
    }
    // Opening reads the member's salt and checks the password against its verifier.
    std::unique_ptr<zip_file_t, CloseMember> data(zip_fopen_index(archive, index, 0));
    if (data) return true;
    const int code = zip_error_code_zip(zip_get_error(archive));
    if (code == ZIP_ER_WRONGPASSWD || code == ZIP_ER_NOPASSWD) PasswordRefused(archivePath, true);
    Damaged(archivePath, "member " + Quote(name) + ": " + zip_strerror(archive));
  }
  return false;
}

// The file begins with a zip member's local header.
static bool StartsAsZip(int fd) {
  char signature[4];
  return ::pread(fd, signature, sizeof signature, 0) == sizeof signature &&
         std::string_view(signature, sizeof signature) == std::string_view("PK\x03\x04", 4);
}

Archive OpenArchive(const std::filesystem::path& archivePath, std::int32_t& number, std::string& why) {
  const std::string path = archivePath.string();
  struct stat info {};
  if (::stat(archivePath.c_str(), &info) != 0) {
    int error = errno;
    number = error == ENOENT || error == ENOTDIR ? kArchiveNotFound : kArchiveUnreadable;
    why = error == ENOENT || error == ENOTDIR
              ? "The backup file " + path + " does not exist"
              : "Cannot read the backup file " + path + ": " + std::strerror(error);
    return nullptr;
  }
  if (!S_ISREG(info.st_mode)) {
    number = kArchiveUnreadable;
    why = "Cannot read the backup file " + path + ": it is not a regular file";
    return nullptr;
  }
  utils::FileDescriptor fd(::open(archivePath.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.IsOpen()) {
    number = kArchiveUnreadable;
    why = "Cannot read the backup file " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  if (info.st_size == 0) {
    number = kNotZipArchive;
    why = "The backup file " + path + " is empty, not a zip archive";
    return nullptr;
  }
  int code = 0;
  zip_t* archive = zip_fdopen(fd.Get(), ZIP_CHECKCONS, &code);
  if (archive != nullptr) {
    fd.Release();  // now owned by the archive
    return Archive(archive);
  }
  zip_error_t error;
  zip_error_init_with_code(&error, code);
  std::string detail = zip_error_strerror(&error);
  zip_error_fini(&error);
  switch (code) {
    case ZIP_ER_NOZIP:
      if (StartsAsZip(fd.Get())) {
        // The members' headers are there, the directory at the end is not: a transfer or a copy that
        // stopped before the end.
        number = kDamagedArchive;
        why = "The backup file " + path + " was cut short after " + std::to_string(info.st_size) +
              " bytes: it begins as a zip archive, but its end (the directory of its members) is missing";
      } else {
        number = kNotZipArchive;
        why = "The backup file " + path + " is not a zip archive";
      }
      break;
    case ZIP_ER_OPEN:
    case ZIP_ER_READ:
    case ZIP_ER_SEEK:
      number = kArchiveUnreadable;
      why = "Cannot read the backup file " + path + ": " + detail;
      break;
    case ZIP_ER_MEMORY:
      number = kOutOfMemory;
      why = "Out of memory while opening the backup file " + path;
      break;
    default:
      number = kDamagedArchive;
      why = "The backup file " + path + " is a damaged zip archive: " + detail;
      break;
  }
  return nullptr;
}

MemberStream::MemberStream(zip_t* archive, std::filesystem::path archivePath, zip_uint64_t index,
                           std::string name, std::uint64_t size)
    : file_(zip_fopen_index(archive, index, 0)),
      archivePath_(std::move(archivePath)),
      name_(std::move(name)),
      size_(size) {
  if (file_) return;
  const int code = zip_error_code_zip(zip_get_error(archive));
  if (code == ZIP_ER_NOPASSWD || code == ZIP_ER_WRONGPASSWD)
    PasswordRefused(archivePath_, code == ZIP_ER_WRONGPASSWD);
  Damaged(archivePath_, "member " + Quote(name_) + ": " + zip_strerror(archive));
}

void MemberStream::ReadFailed() {
  if (zip_error_code_zip(zip_file_get_error(file_.get())) == ZIP_ER_CRC)
    Damaged(archivePath_, "member " + Quote(name_) +
                              " fails its CRC-32 check: its contents are not what the archive recorded");
  Damaged(archivePath_, "member " + Quote(name_) + ": " + zip_file_strerror(file_.get()));
}

// Asking for one byte past the declared size shows a member that outgrows it before the excess is inflated
// or handed on; finding the end lets libzip check the CRC-32.
void MemberStream::ReadEnd() {
  if (ended_) return;
  char excess = 0;
  const zip_int64_t count = zip_fread(file_.get(), &excess, 1);
  if (count < 0) ReadFailed();
  if (count > 0)
    Damaged(archivePath_, "member " + Quote(name_) + " holds more than the " + std::to_string(size_) +
                              " bytes it declares; unpacking stopped there");
  ended_ = true;
}

std::size_t MemberStream::Read(void* data, std::size_t size) {
  const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(size, size_ - done_));
  if (wanted == 0) {
    if (done_ == size_) ReadEnd();
    return 0;
  }
  const zip_int64_t count = zip_fread(file_.get(), data, wanted);
  if (count < 0) ReadFailed();
  if (count == 0)
    Damaged(archivePath_, "member " + Quote(name_) + " holds " + std::to_string(done_) + " bytes, not the " +
                              std::to_string(size_) + " it declares");
  done_ += static_cast<std::uint64_t>(count);
  if (done_ == size_) ReadEnd();
  return static_cast<std::size_t>(count);
}

std::uint64_t StreamMember(zip_t* archive, const std::filesystem::path& archivePath, zip_uint64_t index,
                           const std::string& name, std::uint64_t size, std::vector<char>& buffer,
                           const MemberSink& sink, std::optional<std::uint64_t> limit) {
  if (buffer.size() < kPieceSize) buffer.resize(kPieceSize);
  MemberStream stream(archive, archivePath, index, name, size);
  // A read of nothing at the declared size checks the end of an empty member too.
  const bool partial = limit && *limit < size;
  const std::uint64_t end = partial ? *limit : size;
  std::uint64_t done = 0;
  for (;;) {
    if (partial && done == end) return done;
    const std::size_t count = stream.Read(
        buffer.data(), static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), end - done)));
    if (count == 0) return done;
    sink(buffer.data(), count);
    done += count;
  }
}

static Archive OpenOrFail(const std::filesystem::path& path) {
  std::int32_t number = 0;
  std::string why;
  Archive archive = OpenArchive(path, number, why);
  if (!archive) throw Error(number, kSourceUnzip, why);
  return archive;
}

ArchiveReader::ArchiveReader(std::filesystem::path path, const UnpackLimits& limits,
                             const std::string& password)
    : ArchiveReader(path, OpenOrFail(path), limits, password) {}

ArchiveReader::ArchiveReader(std::filesystem::path path, Archive archive, const UnpackLimits& limits,
                             const std::string& password)
    : path_(std::move(path)), archive_(std::move(archive)), limits_(limits), password_(password) {
  zip_int64_t count = zip_get_num_entries(archive_.get(), 0);
  if (count > 0 && static_cast<zip_uint64_t>(count) > limits.members)
    throw Error(kDamagedArchive, kSourceUnzip,
                "Cannot read the backup file " + path_.string() + ": it holds " + std::to_string(count) +
                    " members, more than the " + std::to_string(limits.members) + " a backup may hold");
  for (zip_uint64_t index = 0; count > 0 && index < static_cast<zip_uint64_t>(count); ++index) {
    zip_stat_t stat;
    if (zip_stat_index(archive_.get(), index, ZIP_FL_ENC_GUESS, &stat) != 0 ||
        (stat.valid & ZIP_STAT_NAME) == 0)
      Damaged(path_, "member " + std::to_string(index) + ": " + zip_strerror(archive_.get()));
    MemberStat member;
    member.index = index;
    member.name = stat.name;
    member.folder = !member.name.empty() && member.name.back() == '/';
    member.size = (stat.valid & ZIP_STAT_SIZE) != 0 ? stat.size : 0;
    member.packedSize = (stat.valid & ZIP_STAT_COMP_SIZE) != 0 ? stat.comp_size : 0;
    member.method = (stat.valid & ZIP_STAT_COMP_METHOD) != 0 ? stat.comp_method : ZIP_CM_STORE;
    member.encrypted =
        (stat.valid & ZIP_STAT_ENCRYPTION_METHOD) != 0 && stat.encryption_method != ZIP_EM_NONE;
    byName_.emplace(text::ToUpper(member.name), members_.size());
    members_.push_back(std::move(member));
  }
  encrypted_ = UsePassword(archive_.get(), path_, password, false);
  locked_ = encrypted_ && password.empty();
}

const MemberStat* ArchiveReader::Find(std::string_view name) const {
  auto found = byName_.find(text::ToUpper(name));
  return found == byName_.end() ? nullptr : &members_[found->second];
}

void ArchiveReader::RequirePassword() const {
  if (locked_) PasswordRefused(path_, false);
}

void ArchiveReader::CheckReadable(const MemberStat& member) const {
  if (member.encrypted) RequirePassword();
  if (!zip_compression_method_supported(member.method, 0))
    Damaged(path_, "member " + Quote(member.name) + " uses compression method " +
                       std::to_string(member.method) + ", which cannot be read");
}

std::unique_ptr<MemberStream> ArchiveReader::Open(const MemberStat& member) const {
  CheckReadable(member);
  return std::make_unique<MemberStream>(archive_.get(), path_, member.index, member.name, member.size);
}

std::unique_ptr<ArchiveReader> ArchiveReader::Reopen() const {
  return std::make_unique<ArchiveReader>(path_, limits_, password_);
}

std::uint64_t ArchiveReader::Read(const MemberStat& member, const MemberSink& sink,
                                  std::optional<std::uint64_t> limit) const {
  CheckReadable(member);
  return StreamMember(archive_.get(), path_, member.index, member.name, member.size, buffer_, sink, limit);
}

void ArchiveReader::Extract(const MemberStat& member, const std::filesystem::path& target,
                            std::optional<std::uint64_t> limit) const {
  std::error_code ignored;
  std::filesystem::remove(target, ignored);
  utils::FileDescriptor file = utils::FileDescriptor::CreateNew(target.c_str());
  auto failed = [&](int error) {
    throw Error(error == ENOSPC || error == EDQUOT ? kDiskFull : kPathAccess, kSourceUnzip,
                "Cannot write the file " + target.string() + ": " + std::strerror(error));
  };
  if (!file.IsOpen()) failed(errno);
  Read(
      member,
      [&](const char* data, std::size_t size) {
        if (std::error_code error = file.WriteAll(data, size)) failed(error.value());
      },
      limit);
  if (std::error_code error = file.Close()) failed(error.value());
}

}  // namespace vela::zip
