// The registry entry of the file-database provider ("Microsoft.Jet.OLEDB.4.0" on SQLite).
#pragma once

#include <filesystem>

#include "platform/data/Providers.h"

namespace vela::data::sqlite {

ProviderEntry JetProviderEntry();

// Whether the file is one a restore of this process is building aside: nobody else reads it, and it
// takes the target's place only once complete (see JetConnection::Open).
bool IsBuiltAside(const std::filesystem::path& path);

}  // namespace vela::data::sqlite
