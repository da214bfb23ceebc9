#include "component/Messages.h"

#include "platform/text/Strings.h"
#include "velabackup/Error.h"

namespace vela {
namespace {

thread_local std::shared_ptr<LanguageResources> g_LanguageResources;

}  // namespace

std::shared_ptr<LanguageResources> GetLanguageResourcesHolder() {
  return g_LanguageResources;
}

void SetLanguageResourcesHolder(std::shared_ptr<LanguageResources> resources) {
  g_LanguageResources = std::move(resources);
}

std::string GetMessageTextOf(std::int32_t number, const std::vector<std::string>& arguments) {
  if (!g_LanguageResources)
    throw Error(kObjectRequired, kSourceComponent,
                "Object required: no LanguageResources is set for message " + std::to_string(number));
  std::string text = g_LanguageResources->GetString(number, "Backup", {});
  for (std::size_t i = 0; i < arguments.size(); ++i)
    text = text::ReplaceAll(text, "{" + std::to_string(i) + "}", arguments[i]);
  return text;
}

}  // namespace vela
