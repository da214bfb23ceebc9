#include "platform/data/postgres/ServerUpdatable.h"

namespace vela::data::postgres {

std::unique_ptr<Recordset> OpenUpdatableRecordset(ServerSession&, std::string) {
  throw Error(kNotSupported, kSource, "An updatable recordset is not supported by this provider yet");
}

}  // namespace vela::data::postgres
