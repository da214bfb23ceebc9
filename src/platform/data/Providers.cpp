#include "platform/data/Providers.h"

#include <vector>

#include "platform/data/postgres/ServerProvider.h"
#include "platform/data/sqlite/JetProvider.h"

namespace vela::data {

std::span<const ProviderEntry> RegisteredProviders() {
  static const std::vector<ProviderEntry> providers = {
      sqlite::JetProviderEntry(),
      postgres::ServerProviderEntry(),
  };
  return providers;
}

}  // namespace vela::data
