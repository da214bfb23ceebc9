// Reading a backup file member by member, without unpacking it: what a look at a backup and its check
// need, with the unzip control's rules for untrusted archives.
//
// Opening fails as an unpack does (kArchiveNotFound, kArchiveUnreadable, kNotZipArchive, kDamagedArchive),
// and an archive with more members than the limit is refused before any is listed. A member is read in
// pieces: no size the archive declares is allocated, a member that yields more bytes than it declares stops
// one byte past the claim, and a member read to its end must match its declared size and its CRC-32.
//
// Encrypted members (AES, as the zip control writes them with a password) are read with the password the
// archive was opened with. Without one, or with a wrong one, they fail with kArchivePassword, never with
// kDamagedArchive: a locked backup is not a damaged one. The password is tried on the first encrypted
// member as soon as the archive is opened, so a wrong one is refused before anything is read or written.
#pragma once

#include <zip.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/utils/ByteStreams.h"
#include "platform/zip/ControlCommon.h"
#include "platform/zip/UnzipControl.h"

namespace vela::zip {

// Opens an archive for reading. Null, with the failure's number and text, when it cannot be opened.
Archive OpenArchive(const std::filesystem::path& path, std::int32_t& number, std::string& why);

// Sets `password` (when not empty) as the archive's password and checks it on the first encrypted member:
// kArchivePassword when it does not open that member, or when there is such a member and no password.
// Returns whether any member is encrypted. An encryption method libzip cannot read is kDamagedArchive.
bool UsePassword(zip_t* archive, const std::filesystem::path& archivePath, const std::string& password,
                 bool passwordRequired = true);

struct CloseMember {
  void operator()(zip_file_t* file) const { zip_fclose(file); }
};

// One member read from its start: decrypted with the archive's password, inflated, and held to the size it
// declares, which bounds what is ever inflated. The read that brings the member's last declared byte also
// reads its end: a member that holds more than it declares, or fails its CRC-32 (or, encrypted, its
// authentication code), throws kDamagedArchive there, naming the archive and the member; so does one that
// ends early, on the read that finds it, and one that cannot be read. The archive must stay open while the
// stream is read.
class MemberStream final : public utils::ByteSource {
 public:
  // Opens member `index` (named `name`, declaring `size` bytes). A member the password does not open fails
  // with kArchivePassword.
  MemberStream(zip_t* archive, std::filesystem::path archivePath, zip_uint64_t index, std::string name,
               std::uint64_t size);

  std::size_t Read(void* data, std::size_t size) override;
  std::uint64_t Size() const noexcept override { return size_; }

 private:
  void ReadEnd();
  [[noreturn]] void ReadFailed();

  std::unique_ptr<zip_file_t, CloseMember> file_;
  std::filesystem::path archivePath_;
  std::string name_;
  std::uint64_t size_;
  std::uint64_t done_ = 0;
  bool ended_ = false;
};

// Receives the bytes of a member piece by piece.
using MemberSink = std::function<void(const char* data, std::size_t size)>;

// Streams member `index` of `archive` (named `name`, declaring `size` bytes) into `sink` and returns how
// many bytes came. With `limit` below the declared size, stops after `limit` bytes (the CRC-32 is then not
// checked). Throws kDamagedArchive, naming the archive and the member, when the member holds more or less
// than it declares, fails its CRC-32 or cannot be read.
std::uint64_t StreamMember(zip_t* archive, const std::filesystem::path& archivePath, zip_uint64_t index,
                           const std::string& name, std::uint64_t size, std::vector<char>& buffer,
                           const MemberSink& sink, std::optional<std::uint64_t> limit = std::nullopt);

struct MemberStat {
  zip_uint64_t index = 0;
  std::string name;
  std::uint64_t size = 0;        // as declared
  std::uint64_t packedSize = 0;  // as declared
  std::uint16_t method = ZIP_CM_STORE;
  bool encrypted = false;
  bool folder = false;
};

class ArchiveReader {
 public:
  // An archive with encrypted members opens without a password too (its names and sizes can be listed);
  // reading such a member then fails with kArchivePassword. A wrong password fails here.
  explicit ArchiveReader(std::filesystem::path path, const UnpackLimits& limits = {},
                         const std::string& password = {});
  // Takes over `archive`, already open at `path`.
  ArchiveReader(std::filesystem::path path, Archive archive, const UnpackLimits& limits,
                const std::string& password);

  const std::filesystem::path& Path() const noexcept { return path_; }
  const std::vector<MemberStat>& Members() const noexcept { return members_; }
  // The member of that name (without regard to case), or nullptr.
  const MemberStat* Find(std::string_view name) const;
  // Members are encrypted, and no password was given to read them.
  bool Locked() const noexcept { return locked_; }
  bool Encrypted() const noexcept { return encrypted_; }
  // Fails with kArchivePassword when the archive is locked.
  void RequirePassword() const;

  // Streams a member into `sink` (StreamMember). A member whose compression method cannot be read fails
  // with kDamagedArchive; an encrypted one of a locked archive with kArchivePassword.
  std::uint64_t Read(const MemberStat& member, const MemberSink& sink,
                     std::optional<std::uint64_t> limit = std::nullopt) const;
  // The member as a stream (MemberStream), failing as Read does before anything is read. The reader must
  // outlive the stream.
  std::unique_ptr<MemberStream> Open(const MemberStat& member) const;
  // Another reader of the same file, with the same limits and password. One reader's members are read on
  // one thread at a time: a thread that reads beside another opens its own. A member found in this reader
  // is read through the other as well.
  std::unique_ptr<ArchiveReader> Reopen() const;
  // Copies a member, or its first `limit` bytes, into a new private file at `target`.
  void Extract(const MemberStat& member, const std::filesystem::path& target,
               std::optional<std::uint64_t> limit = std::nullopt) const;

 private:
  void CheckReadable(const MemberStat& member) const;

  std::filesystem::path path_;
  Archive archive_;
  UnpackLimits limits_;
  std::string password_;
  std::vector<MemberStat> members_;
  std::unordered_map<std::string, std::size_t> byName_;  // upper-cased name -> first member of that name
  mutable std::vector<char> buffer_;
  bool encrypted_ = false;
  bool locked_ = false;
};

}  // namespace vela::zip
