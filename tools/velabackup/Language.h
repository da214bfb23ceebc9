// The message catalogue of the host: --language NAME (a shipped catalogue), --language FILE (a catalogue
// file), or without either the language of the user's locale when a catalogue ships for it, else English.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velabackup/LanguageResources.h"

namespace vela::cli {

// The language of a locale value such as "de_DE.UTF-8" or "de", lower-case ("de"), with its territory
// when there is one ("de_de"); nothing for "C", "POSIX" or a value that names no language.
std::vector<std::string> LocaleLanguages(std::string_view locale);

// The catalogue a --language value names, the locale's when it is empty. `folder` holds the shipped
// catalogues (NAME.ini); English is built in. An unknown NAME is a UsageError listing the shipped names.
std::shared_ptr<LanguageResources> ChooseCatalogue(const std::string& language,
                                                   const std::optional<std::filesystem::path>& folder,
                                                   std::string_view locale);

// The folder of the shipped catalogues for this host: the source tree's when it runs from the build tree,
// else the installed one beside it or where it was built to be installed. Nothing when none exists.
std::optional<std::filesystem::path> ShippedCatalogueFolder();

// A text of the host's own: message `number` of the catalogue's section "Host", or of the built-in English
// one when the catalogue has none (a catalogue file made for the component alone), with {0}, {1}, ...
// replaced in one pass, so that a value holding "{1}" (a file name) shows as it is.
std::string HostText(const LanguageResources* catalogue, std::int32_t number,
                     const std::vector<std::string>& arguments = {});

// The locale that names the language of messages: LC_ALL, else LC_MESSAGES, else LANG.
std::string MessageLocale();

}  // namespace vela::cli
