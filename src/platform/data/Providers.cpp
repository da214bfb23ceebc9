#include "platform/data/Providers.h"

#include <vector>

#include "platform/data/sqlite/JetProvider.h"

namespace vela::data {

std::span<const ProviderEntry> RegisteredProviders() {
  static const std::vector<ProviderEntry> providers = {
      sqlite::JetProviderEntry(),
  };
  return providers;
}

}  // namespace vela::data
