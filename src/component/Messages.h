// Localised messages: the per-thread catalogue holder and the message lookup with placeholder filling.
#pragma once

#include <concepts>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "velabackup/LanguageResources.h"

namespace vela {

// The catalogue every CBackup object of the current thread uses.
std::shared_ptr<LanguageResources> GetLanguageResourcesHolder();
void SetLanguageResourcesHolder(std::shared_ptr<LanguageResources> resources);

// The text of message `number` in section "Backup", with {0}, {1}, ... replaced by the arguments: one
// pass per argument in increasing order, every occurrence, so a value holding a later placeholder is
// replaced again by the later pass. Fails as a call on a missing object when no catalogue is set.
std::string GetMessageTextOf(std::int32_t number, const std::vector<std::string>& arguments);

inline std::string MessageArgument(std::string_view text) {
  return std::string(text);
}
inline std::string MessageArgument(const char* text) {
  return std::string(text);
}
inline std::string MessageArgument(const std::string& text) {
  return text;
}
template <std::integral Number>
std::string MessageArgument(Number number) {
  return std::to_string(number);
}

template <class... Arguments>
std::string GetMessageText(std::int32_t number, const Arguments&... arguments) {
  return GetMessageTextOf(number, {MessageArgument(arguments)...});
}

}  // namespace vela
