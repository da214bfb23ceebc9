#include "velabackup/LanguageResources.h"

#include <charconv>
#include <fstream>
#include <sstream>

#include "platform/text/Strings.h"
#include "velabackup/Error.h"

namespace vela {
namespace {

// The English catalogue, built into the library from resources/lang/en.ini.
constexpr char kEnglishCatalogue[] =
#include "EnglishCatalogue.inc"
    ;

std::string Unescape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == 'n') {
      out += '\n';
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace

std::string LanguageResources::GetString(std::int32_t number, std::string_view section,
                                         std::string_view) const {
  auto s = sections_.find(text::ToUpper(section));
  if (s == sections_.end()) return {};
  auto m = s->second.find(number);
  return m == s->second.end() ? std::string() : m->second;
}

void LanguageResources::SetString(std::string_view section, std::int32_t number, std::string text) {
  sections_[text::ToUpper(section)][number] = std::move(text);
}

std::shared_ptr<LanguageResources> LanguageResources::Parse(std::string_view text) {
  auto resources = std::make_shared<LanguageResources>();
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  std::string section;
  for (const std::string& raw : text::Split(text, '\n')) {
    std::string_view line = text::Trim(raw);
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[' && line.back() == ']') {
      section = std::string(text::Trim(line.substr(1, line.size() - 2)));
      continue;
    }
    std::size_t eq = line.find('=');
    if (eq == std::string_view::npos || section.empty()) continue;
    std::string_view key = text::Trim(line.substr(0, eq));
    std::int32_t number = 0;
    auto [end, ec] = std::from_chars(key.data(), key.data() + key.size(), number);
    if (ec != std::errc() || end != key.data() + key.size()) continue;
    resources->SetString(section, number, Unescape(line.substr(eq + 1)));
  }
  return resources;
}

std::shared_ptr<LanguageResources> LanguageResources::LoadFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw Error(kFileNotFound, kSourceLanguage, "Cannot read the message catalogue " + file.string());
  std::ostringstream content;
  content << in.rdbuf();
  return Parse(content.str());
}

std::shared_ptr<LanguageResources> LanguageResources::English() {
  static const std::shared_ptr<LanguageResources> english = Parse(kEnglishCatalogue);
  return english;
}

}  // namespace vela
