#include "platform/text/Utf16File.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <span>

#include "velabackup/Error.h"

namespace vela::text {
namespace {

constexpr unsigned char kByteOrderMark[2] = {0xFF, 0xFE};  // U+FEFF as the file's first unit

// The file holds little-endian units; on a big-endian host they are swapped on the way in and out.
void ToLittleEndian(char16_t* units, std::size_t count) {
  if constexpr (std::endian::native == std::endian::big) {
    for (std::size_t i = 0; i < count; ++i)
      units[i] = static_cast<char16_t>((units[i] >> 8) | (units[i] << 8));
  } else {
    (void)units;
    (void)count;
  }
}

[[noreturn]] void Fail(std::int32_t number, const std::string& what, const std::filesystem::path& path,
                       int error) {
  throw Error(number, kSourceComponent, what + " " + path.string() + ": " + std::strerror(error));
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// Utf16OutputFile

Utf16OutputFile::Utf16OutputFile(std::filesystem::path path)
    : path_(std::move(path)), buffer_(new char16_t[kCapacity]) {
  // Never through a symbolic link; readable by its owner alone.
  fd_ = utils::FileDescriptor(
      ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd_.IsOpen()) Fail(kPathAccess, "Cannot create the file", path_, errno);
  buffer_[fill_++] = u'\xFEFF';
}

Utf16OutputFile::Utf16OutputFile(utils::ByteSink& sink, std::filesystem::path name)
    : path_(std::move(name)), sink_(&sink), buffer_(new char16_t[kCapacity]) {
  buffer_[fill_++] = u'\xFEFF';
}

void Utf16OutputFile::WriteBytes(const void* data, std::size_t size) {
  if (sink_ != nullptr && !closed_) {
    sink_->Write(std::span(static_cast<const std::byte*>(data), size));
    return;
  }
  if (!fd_.IsOpen()) throw Error(kPathAccess, kSourceComponent, "The file " + path_.string() + " is closed");
  if (std::error_code error = fd_.WriteAll(data, size))
    Fail(kPathAccess, "Cannot write the file", path_, error.value());
}

void Utf16OutputFile::Flush() {
  ToLittleEndian(buffer_.get(), fill_);
  const std::size_t fill = fill_;
  fill_ = 0;  // a failed write leaves nothing to flush again
  WriteBytes(buffer_.get(), fill * sizeof(char16_t));
}

void Utf16OutputFile::WriteLong(std::u16string_view units) {
  while (!units.empty()) {
    if (fill_ == kCapacity) Flush();
    const std::size_t n = std::min(units.size(), kCapacity - fill_);
    std::memcpy(buffer_.get() + fill_, units.data(), n * sizeof(char16_t));
    fill_ += n;
    units.remove_prefix(n);
  }
}

void Utf16OutputFile::Close() {
  Flush();
  if (sink_ != nullptr) {
    closed_ = true;
    return;
  }
  // An interrupted close has still given the descriptor up, and every write before it was complete.
  std::error_code error = fd_.Close();
  if (error && error.value() != EINTR) Fail(kPathAccess, "Cannot write the file", path_, error.value());
}

// ---------------------------------------------------------------------------------------------------------
// Utf16InputFile

Utf16InputFile::Utf16InputFile(std::filesystem::path path)
    : path_(std::move(path)), buffer_(new char16_t[kCapacity]) {
  fd_ = utils::FileDescriptor(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd_.IsOpen())
    Fail(errno == ENOENT ? kFileNotFound : kPathAccess, "Cannot open the file", path_, errno);
  struct stat status;
  if (::fstat(fd_.Get(), &status) != 0) Fail(kPathAccess, "Cannot read the file", path_, errno);
  if (!S_ISREG(status.st_mode)) Fail(kPathAccess, "Cannot read the file", path_, EINVAL);
  Start(static_cast<std::uint64_t>(status.st_size));
}

Utf16InputFile::Utf16InputFile(std::unique_ptr<utils::ByteSource> source, std::filesystem::path name)
    : path_(std::move(name)), source_(std::move(source)), buffer_(new char16_t[kCapacity]) {
  Start(source_->Size());
}

void Utf16InputFile::Start(std::uint64_t size) {
  total_ = remaining_ = size / 2;
  oddByte_ = size % 2 != 0;
  next_ = end_ = buffer_.get();
  if (size < 2) {
    ReadTail();
    return;
  }
  unsigned char start[2] = {0, 0};
  ReadBytes(start, 2);
  bom_ = start[0] == kByteOrderMark[0] && start[1] == kByteOrderMark[1];
  if (bom_) {
    total_ = --remaining_;
  } else {
    std::memcpy(buffer_.get(), start, 2);
    ToLittleEndian(buffer_.get(), 1);
    ++end_;
  }
  if (remaining_ == 0 || (!bom_ && remaining_ == 1)) ReadTail();
}

void Utf16InputFile::ReadTail() {
  if (!oddByte_) return;
  unsigned char last = 0;
  ReadBytes(&last, 1);
  oddByte_ = false;
}

void Utf16InputFile::ReadBytes(void* data, std::size_t size) {
  std::size_t got = 0;
  if (source_) {
    for (std::size_t count = 1; got < size && count != 0; got += count)
      count = source_->Read(static_cast<unsigned char*>(data) + got, size - got);
  } else {
    std::error_code error;
    got = fd_.ReadAll(data, size, error);
    if (error) Fail(kPathAccess, "Cannot read the file", path_, error.value());
  }
  if (got < size) {
    throw Error(kBadFileFormat, kSourceComponent,
                "The file " + path_.string() + " ended while it was being read");
  }
}

void Utf16InputFile::Refill() {
  // `remaining_` still counts what the buffer holds, so here it is exactly what the file has left.
  if (remaining_ == 0) {
    throw Error(kBadFileFormat, kSourceComponent, "Read past the end of the file " + path_.string());
  }
  const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, kCapacity));
  ReadBytes(buffer_.get(), n * sizeof(char16_t));
  ToLittleEndian(buffer_.get(), n);
  next_ = buffer_.get();
  end_ = next_ + n;
  if (n == remaining_) ReadTail();
}

void Utf16InputFile::Read(std::size_t count, std::u16string& out) {
  if (count > remaining_) {
    throw Error(kBadFileFormat, kSourceComponent,
                "Read of " + std::to_string(count) + " characters at byte offset " +
                    std::to_string(ByteOffset(Position())) + " runs past the end of the file " +
                    path_.string() + " (" + std::to_string(remaining_) + " characters remain)");
  }
  out.resize(count);
  const std::size_t buffered = std::min(count, static_cast<std::size_t>(end_ - next_));
  std::memcpy(out.data(), next_, buffered * sizeof(char16_t));
  next_ += buffered;
  remaining_ -= buffered;
  if (buffered < count) {  // the buffer is empty now: read the rest of a long value straight into `out`
    const std::size_t rest = count - buffered;
    ReadBytes(out.data() + buffered, rest * sizeof(char16_t));
    ToLittleEndian(out.data() + buffered, rest);
    remaining_ -= rest;
    if (remaining_ == 0) ReadTail();
  }
}

}  // namespace vela::text
