// Where bytes come from and go to when they have no file of their own: an archive member read where it lies
// in the backup file, or written into it while it is packed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vela::utils {

// A stream of bytes read once from its start, of a size known before the first read.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Up to `size` bytes into `data`; fewer only at the end, 0 there. Failures throw vela::Error.
  virtual std::size_t Read(void* data, std::size_t size) = 0;
  // The bytes the stream holds in all.
  virtual std::uint64_t Size() const noexcept = 0;
};

// A stream of bytes written once, in order.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Takes all of `bytes`, or throws (vela::Error) when they can no longer go anywhere; may wait until there
  // is room.
  virtual void Write(std::span<const std::byte> bytes) = 0;
};

}  // namespace vela::utils
