// Where a writer's bytes go when they go to no file of their own: an archive member being packed.
#pragma once

#include <cstddef>
#include <span>

namespace vela::utils {

class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Takes all of `bytes`, or throws (vela::Error) when they can no longer go anywhere; may wait until there
  // is room.
  virtual void Write(std::span<const std::byte> bytes) = 0;
};

}  // namespace vela::utils
