#include "Language.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <system_error>

#include "Commands.h"
#include "Host.h"

namespace vela::cli {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kEnglish = "en";

// A catalogue name is a language code, perhaps with a territory: never a path into another folder.
bool IsCatalogueName(std::string_view name) {
  return !name.empty() && std::all_of(name.begin(), name.end(), [](unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '-';
  });
}

bool IsCatalogueFile(std::string_view language) {
  return language.find('/') != std::string_view::npos ||
         (language.size() >= 4 && LowerCase(language.substr(language.size() - 4)) == ".ini");
}

// The names of the shipped catalogues, English first.
std::vector<std::string> ShippedNames(const std::optional<fs::path>& folder) {
  std::vector<std::string> names;
  std::error_code error;
  if (folder)
    for (const fs::directory_entry& entry : fs::directory_iterator(*folder, error)) {
      std::string name = entry.path().stem().string();
      if (entry.path().extension() == ".ini" && IsCatalogueName(name) && LowerCase(name) != kEnglish)
        names.push_back(LowerCase(name));
    }
  std::sort(names.begin(), names.end());
  names.insert(names.begin(), std::string(kEnglish));
  return names;
}

std::optional<fs::path> ShippedFile(const std::optional<fs::path>& folder, const std::string& name) {
  if (!folder) return std::nullopt;
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(*folder, error))
    if (entry.path().extension() == ".ini" && LowerCase(entry.path().stem().string()) == name)
      return entry.path();
  return std::nullopt;
}

bool IsUnder(const fs::path& path, const fs::path& folder) {
  auto [end, ignored] = std::mismatch(folder.begin(), folder.end(), path.begin(), path.end());
  return end == folder.end();
}

}  // namespace

std::vector<std::string> LocaleLanguages(std::string_view locale) {
  locale = locale.substr(0, locale.find_first_of(".@"));
  std::string name = LowerCase(locale);
  if (name.empty() || name == "c" || name == "posix" || !IsCatalogueName(name)) return {};
  std::vector<std::string> languages;
  std::size_t territory = name.find_first_of("_-");
  if (territory != std::string::npos) languages.push_back(name);
  languages.push_back(name.substr(0, territory));
  return languages;
}

std::shared_ptr<LanguageResources> ChooseCatalogue(const std::string& language,
                                                   const std::optional<fs::path>& folder,
                                                   std::string_view locale) {
  if (IsCatalogueFile(language)) return LanguageResources::LoadFile(language);
  if (language.empty()) {
    // The locale only picks among what ships; anything else is English.
    for (const std::string& name : LocaleLanguages(locale)) {
      if (name == kEnglish) break;
      if (std::optional<fs::path> file = ShippedFile(folder, name)) return LanguageResources::LoadFile(*file);
    }
    return LanguageResources::English();
  }
  std::string name = LowerCase(language);
  if (name == kEnglish) return LanguageResources::English();
  if (IsCatalogueName(name))
    if (std::optional<fs::path> file = ShippedFile(folder, name)) return LanguageResources::LoadFile(*file);
  std::string shipped;
  for (const std::string& known : ShippedNames(folder)) shipped += (shipped.empty() ? "" : ", ") + known;
  throw UsageError("--language: no catalogue \"" + language + "\" ships with velabackup (" + shipped +
                   "); a catalogue file is named by a path or ends in .ini");
}

std::string HostText(const LanguageResources* catalogue, std::int32_t number,
                     const std::vector<std::string>& arguments) {
  std::string text = catalogue != nullptr ? catalogue->GetString(number, "Host") : std::string();
  if (text.empty()) text = LanguageResources::English()->GetString(number, "Host");
  std::string filled;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t open = text.find('{', at);
    const std::size_t close = open == std::string::npos ? open : text.find('}', open);
    if (close == std::string::npos) {
      filled += text.substr(at);
      break;
    }
    filled += text.substr(at, open - at);
    const std::string_view digits(text.data() + open + 1, close - open - 1);
    std::size_t index = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), index);
    if (!digits.empty() && error == std::errc() && end == digits.data() + digits.size() &&
        index < arguments.size()) {
      filled += arguments[index];
      at = close + 1;
    } else {
      filled += '{';
      at = open + 1;
    }
  }
  return filled;
}

std::optional<fs::path> ShippedCatalogueFolder() {
  std::error_code error;
  fs::path host = fs::canonical("/proc/self/exe", error);
  std::vector<fs::path> candidates;
  if (!error) {
    fs::path build = fs::weakly_canonical(VELA_BUILD_DIR, error);
    if (!error && IsUnder(host, build)) candidates.emplace_back(VELA_SOURCE_LANG_DIR);
    candidates.push_back(host.parent_path() / VELA_RELATIVE_LANG_DIR);
  }
  candidates.emplace_back(VELA_INSTALL_LANG_DIR);
  for (const fs::path& folder : candidates)
    if (fs::is_directory(folder, error)) return folder.lexically_normal();
  return std::nullopt;
}

std::string MessageLocale() {
  for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0') return value;
  }
  return {};
}

}  // namespace vela::cli
