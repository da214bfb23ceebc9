// Message catalogues: the localised texts the component shows the host, by section and number.
//
// A catalogue file is UTF-8 text in INI form: a section line "[Backup]", then one "N=text" line per
// message; lines starting with ";" are comments; "\n" in a text stands for a line break. The English
// catalogue is built into the library.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>

namespace vela {

class LanguageResources {
 public:
  virtual ~LanguageResources() = default;

  // The text of message `number` in `section`; the third argument is always empty. An unknown number
  // gives an empty text.
  virtual std::string GetString(std::int32_t number, std::string_view section,
                                std::string_view reserved = {}) const;

  // Reads a catalogue file; a missing or unreadable file fails with a vela::Error naming it.
  static std::shared_ptr<LanguageResources> LoadFile(const std::filesystem::path& file);
  // Parses catalogue text.
  static std::shared_ptr<LanguageResources> Parse(std::string_view text);
  // The English catalogue that ships with the library.
  static std::shared_ptr<LanguageResources> English();

  void SetString(std::string_view section, std::int32_t number, std::string text);

 private:
  std::map<std::string, std::map<std::int32_t, std::string>> sections_;  // section name upper-cased
};

}  // namespace vela
