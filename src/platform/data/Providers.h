// The providers this build knows. Each provider folder (sqlite/, postgres/) supplies its entry; the list
// is spelled out in Providers.cpp so that no static-initialisation order is relied on.
#pragma once

#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "velabackup/data/Connection.h"

namespace vela::data {

struct ProviderEntry {
  std::string name;  // the "Provider" value of a connection string
  std::function<std::unique_ptr<Connection>(std::string_view connectionString)> open;
  std::function<void(std::string_view connectionString)> create;
};

std::span<const ProviderEntry> RegisteredProviders();

}  // namespace vela::data
