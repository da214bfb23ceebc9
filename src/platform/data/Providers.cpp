#include "platform/data/Providers.h"

#include <cstdio>
#include <random>
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

std::string RandomTag() {
  std::random_device device;
  char text[9];
  std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(device()));
  return text;
}

}  // namespace vela::data
