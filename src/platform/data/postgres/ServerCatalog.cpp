#include "platform/data/postgres/ServerCatalog.h"

namespace vela::data::postgres {

std::unique_ptr<Catalog> OpenServerCatalog(ServerSession&) {
  throw Error(kNotSupported, kSource, "The catalog is not supported by this provider yet");
}

std::unique_ptr<Recordset> OpenServerSchemaColumns(ServerSession&, std::string_view) {
  throw Error(kNotSupported, kSource, "The COLUMNS schema rowset is not supported by this provider yet");
}

}  // namespace vela::data::postgres
