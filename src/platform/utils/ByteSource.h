// A stream of bytes read once from its start, of a size known before the first read: a member of an
// archive read where it lies, without a file of its own.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vela::utils {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Up to `size` bytes into `data`; fewer only at the end, 0 there. Failures throw vela::Error.
  virtual std::size_t Read(void* data, std::size_t size) = 0;
  // The bytes the stream holds in all.
  virtual std::uint64_t Size() const noexcept = 0;
};

}  // namespace vela::utils
