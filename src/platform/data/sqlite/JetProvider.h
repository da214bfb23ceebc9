// The registry entry of the file-database provider ("Microsoft.Jet.OLEDB.4.0" on SQLite).
#pragma once

#include "platform/data/Providers.h"

namespace vela::data::sqlite {

ProviderEntry JetProviderEntry();

}  // namespace vela::data::sqlite
