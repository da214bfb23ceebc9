// The registry entry of the server-database provider ("SQLOLEDB.1", PostgreSQL). This build knows the
// engine's connection strings, names and maintenance database; it cannot open a connection yet.
#pragma once

#include "platform/data/Providers.h"

namespace vela::data::postgres {

ProviderEntry ServerProviderEntry();

}  // namespace vela::data::postgres
