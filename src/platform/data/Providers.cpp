#include "platform/data/Providers.h"

#include <vector>

namespace vela::data {

std::span<const ProviderEntry> RegisteredProviders() {
  static const std::vector<ProviderEntry> providers = {};
  return providers;
}

}  // namespace vela::data
