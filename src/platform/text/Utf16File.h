// Buffered UTF-16LE text files, the form of the table data files.
//
// Both streams go through a buffer of their own and straight to the file descriptor: the hot paths (one unit,
// a counted run) are inline and neither allocate nor make a call per unit, and a file of any size is never
// held whole in memory. Every failure is a vela::Error whose description names the path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "platform/utils/ByteStreams.h"
#include "platform/utils/FileDescriptor.h"

namespace vela::text {

// Writes a new UTF-16LE file: the byte-order mark FF FE, then the units in order.
// A file that is destroyed without Close() is closed quietly and may be incomplete; the caller that gives up
// on it removes it (a failed save removes its whole work folder).
class Utf16OutputFile {
 public:
  // Creates `path`, replacing a file of that name, and writes the byte-order mark.
  explicit Utf16OutputFile(std::filesystem::path path);
  // The same stream into `sink` (an archive member being packed) instead of a file; `name` is what the
  // messages call it. Close() writes what is buffered and leaves the sink to its owner.
  Utf16OutputFile(utils::ByteSink& sink, std::filesystem::path name);
  Utf16OutputFile(const Utf16OutputFile&) = delete;
  Utf16OutputFile& operator=(const Utf16OutputFile&) = delete;
  ~Utf16OutputFile() = default;

  void Put(char16_t unit) {
    if (fill_ == kCapacity) Flush();
    buffer_[fill_++] = unit;
  }
  void Write(std::u16string_view units) {
    if (units.size() <= kCapacity - fill_) {
      std::memcpy(buffer_.get() + fill_, units.data(), units.size() * sizeof(char16_t));
      fill_ += units.size();
    } else {
      WriteLong(units);
    }
  }

  // Writes what is buffered, then closes the file. A write that fails (a full disk) or a failing close
  // throws; afterwards the stream takes no more writes.
  void Close();

  const std::filesystem::path& Path() const noexcept { return path_; }

 private:
  static constexpr std::size_t kCapacity = std::size_t{1} << 17;  // units: 256 KiB per write

  void Flush();
  void WriteLong(std::u16string_view units);
  void WriteBytes(const void* data, std::size_t size);

  std::filesystem::path path_;
  utils::FileDescriptor fd_;
  utils::ByteSink* sink_ = nullptr;
  bool closed_ = false;
  std::unique_ptr<char16_t[]> buffer_;
  std::size_t fill_ = 0;
};

// Reads a UTF-16LE file from its start. A leading byte-order mark FF FE is consumed; a file without one is
// read as UTF-16LE from its first byte, as the Unicode text streams of the platform do, and
// HasByteOrderMark() says so. A last odd byte is not a unit: it is read with the last unit, and ignored.
//
// The stream knows how many units remain, so a reader can check a length it took from the file before it
// allocates or reads anything.
class Utf16InputFile {
 public:
  // Opens `path`; a missing file throws kFileNotFound, any other failure kPathAccess.
  explicit Utf16InputFile(std::filesystem::path path);
  // Reads the bytes of `source` (a member of an archive read where it lies); `name` stands for the path.
  Utf16InputFile(std::unique_ptr<utils::ByteSource> source, std::filesystem::path name);
  Utf16InputFile(const Utf16InputFile&) = delete;
  Utf16InputFile& operator=(const Utf16InputFile&) = delete;
  ~Utf16InputFile() = default;

  bool AtEnd() const noexcept { return remaining_ == 0; }
  std::uint64_t Remaining() const noexcept { return remaining_; }
  // Units read so far, counted from the first unit after the byte-order mark.
  std::uint64_t Position() const noexcept { return total_ - remaining_; }
  // Where unit number `position` starts in the file.
  std::uint64_t ByteOffset(std::uint64_t position) const noexcept { return (bom_ ? 2 : 0) + 2 * position; }
  bool HasByteOrderMark() const noexcept { return bom_; }
  const std::filesystem::path& Path() const noexcept { return path_; }

  // The next unit. Reading at the end throws kBadFileFormat.
  char16_t Get() {
    if (next_ == end_) Refill();
    --remaining_;
    return *next_++;
  }

  // Replaces `out` by the next `count` units. Asking for more units than remain throws kBadFileFormat
  // before anything is read or allocated.
  void Read(std::size_t count, std::u16string& out);

 private:
  static constexpr std::size_t kCapacity = std::size_t{1} << 17;  // units: 256 KiB per read

  // Reads the byte-order mark, or keeps the first unit when there is none.
  void Start(std::uint64_t size);
  void Refill();
  void ReadBytes(void* data, std::size_t size);
  // Once the last unit is read: the odd byte after it, so that a source sees its end.
  void ReadTail();

  std::filesystem::path path_;
  utils::FileDescriptor fd_;
  std::unique_ptr<utils::ByteSource> source_;  // when not reading fd_
  std::unique_ptr<char16_t[]> buffer_;
  const char16_t* next_ = nullptr;
  const char16_t* end_ = nullptr;
  std::uint64_t total_ = 0;
  std::uint64_t remaining_ = 0;
  bool bom_ = false;
  bool oddByte_ = false;
};

}  // namespace vela::text
