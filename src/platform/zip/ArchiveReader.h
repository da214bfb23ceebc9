// Reading a backup file member by member, without unpacking it: what a look at a backup and its check
// need, with the unzip control's rules for untrusted archives.
//
// Opening fails as an unpack does (kArchiveNotFound, kArchiveUnreadable, kNotZipArchive, kDamagedArchive),
// and an archive with more members than the limit is refused before any is listed. A member is read in
// pieces: no size the archive declares is allocated, a member that yields more bytes than it declares stops
// one byte past the claim, and a member read to its end must match its declared size and its CRC-32.
#pragma once

#include <zip.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/zip/ControlCommon.h"
#include "platform/zip/UnzipControl.h"

namespace vela::zip {

// Opens an archive for reading. Null, with the failure's number and text, when it cannot be opened.
Archive OpenArchive(const std::filesystem::path& path, std::int32_t& number, std::string& why);

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
  explicit ArchiveReader(std::filesystem::path path, const UnpackLimits& limits = {});

  const std::filesystem::path& Path() const noexcept { return path_; }
  const std::vector<MemberStat>& Members() const noexcept { return members_; }
  // The member of that name (without regard to case), or nullptr.
  const MemberStat* Find(std::string_view name) const;

  // Streams a member into `sink` (StreamMember). An encrypted member, or one whose compression method
  // cannot be read, fails with kDamagedArchive.
  std::uint64_t Read(const MemberStat& member, const MemberSink& sink,
                     std::optional<std::uint64_t> limit = std::nullopt) const;
  // Copies a member, or its first `limit` bytes, into a new private file at `target`.
  void Extract(const MemberStat& member, const std::filesystem::path& target,
               std::optional<std::uint64_t> limit = std::nullopt) const;

 private:
  std::filesystem::path path_;
  Archive archive_;
  std::vector<MemberStat> members_;
  std::unordered_map<std::string, std::size_t> byName_;  // upper-cased name -> first member of that name
  mutable std::vector<char> buffer_;
};

}  // namespace vela::zip
