// Puts the engine's own writes and syncs under the FileWrites of an operation's services, so that a test of
// what a full disk does reaches the database files too, not only the files this project writes.
#pragma once

namespace vela::data::sqlite {

// While this object lives, every file the engine opens (databases, journals, temporary files) asks the
// calling thread's FileWrites (platform/utils/FileDescriptor.h) before each write and each sync, and one it
// fails fails as a full disk or a failed sync would. Encryption stays above the asking, so a protected
// database is covered as well. An operation whose services have a FileWrites holds one for its run; when
// the last one ends, the engine opens its files as before.
class EngineWritesScope {
 public:
  EngineWritesScope();
  ~EngineWritesScope();
  EngineWritesScope(const EngineWritesScope&) = delete;
  EngineWritesScope& operator=(const EngineWritesScope&) = delete;
};

}  // namespace vela::data::sqlite
