// The engines' own file writes under an operation's FileWrites (platform/utils/FileDescriptor.h).
#pragma once

#include <memory>

namespace vela::data {

// While this object lives, each provider whose engine writes files itself (the file databases') has the
// engine ask the calling thread's FileWrites before each of its writes and syncs, as the project's own
// writes do; a provider that writes no files of its own has nothing to install.
class EngineWrites {
 public:
  EngineWrites();
  ~EngineWrites();
  EngineWrites(const EngineWrites&) = delete;
  EngineWrites& operator=(const EngineWrites&) = delete;

 private:
  struct Scopes;
  std::unique_ptr<Scopes> scopes_;
};

}  // namespace vela::data
