#include "platform/data/EngineWrites.h"

#include "platform/data/sqlite/FaultVfs.h"

namespace vela::data {

struct EngineWrites::Scopes {
  sqlite::EngineWritesScope fileDatabases;
};

EngineWrites::EngineWrites() : scopes_(std::make_unique<Scopes>()) {}
EngineWrites::~EngineWrites() = default;

}  // namespace vela::data
