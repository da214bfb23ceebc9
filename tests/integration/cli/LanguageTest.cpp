// The host's choice of message catalogue: a shipped one by name or by the locale, a catalogue file, and
// the shipped German catalogue against the English one it translates.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "support/HostRun.h"
#include "support/TempFolder.h"
#include "velabackup/LanguageResources.h"

namespace vela {
namespace {

using testing::Host;
using testing::Result;

using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kEnglishDone = "\"caption\":\"Backup complete.\"";
constexpr const char* kGermanDone = "\"caption\":\"Sicherung abgeschlossen.\"";

class Language : public ::testing::Test {
 protected:
  void SetUp() override {
    Result made = Host(folder_, {}, {"sample", "-c", source_, "--rows", "20"});
    ASSERT_EQ(made.status, 0) << made.err;
  }
  Result Save(const std::vector<std::string>& environment, const std::vector<std::string>& options = {}) {
    std::vector<std::string> arguments{"save", "-c", source_, "-f", backup_, "--events", "jsonl"};
    arguments.insert(arguments.end(), options.begin(), options.end());
    return Host(folder_, environment, arguments);
  }
  testing::TempFolder folder_;
  std::string source_ = testing::FileDatabase(folder_ / "shop.db");
  std::string backup_ = folder_ / "shop.vbk";
};

TEST_F(Language, NamePicksAShippedCatalogue) {
  Result german = Save({}, {"--language", "de"});
  ASSERT_EQ(german.status, 0) << german.err;
  EXPECT_THAT(german.out, HasSubstr(kGermanDone));
  EXPECT_THAT(german.out, HasSubstr("\"caption\":\"Die Sicherung wird gestartet...\""));
  EXPECT_THAT(german.out, Not(HasSubstr(kEnglishDone)));

  Result restore =
      Host(folder_, {},
           {"restore", "-c", folder_ / "copy.db", "-f", backup_, "--events", "jsonl", "--language", "DE"});
  ASSERT_EQ(restore.status, 0) << restore.err;
  EXPECT_THAT(restore.out, HasSubstr("\"caption\":\"Wiederherstellung abgeschlossen.\""));

  // A name overrides the locale.
  Result english = Save({"LANG=de_DE.UTF-8"}, {"--language", "en"});
  ASSERT_EQ(english.status, 0) << english.err;
  EXPECT_THAT(english.out, HasSubstr(kEnglishDone));
}

TEST_F(Language, LocalePicksAShippedCatalogueElseEnglish) {
  EXPECT_THAT(Save({"LANG=de_DE.UTF-8"}).out, HasSubstr(kGermanDone));
  EXPECT_THAT(Save({"LC_MESSAGES=de_AT@euro", "LANG=en_GB.UTF-8"}).out, HasSubstr(kGermanDone));
  EXPECT_THAT(Save({"LANG=fr_FR.UTF-8"}).out, HasSubstr(kEnglishDone));
  EXPECT_THAT(Save({}).out, HasSubstr(kEnglishDone));
  // LC_ALL outranks the others, and "C" names no language.
  EXPECT_THAT(Save({"LC_ALL=C", "LANG=de_DE.UTF-8"}).out, HasSubstr(kEnglishDone));
  // A locale is never a path to a catalogue elsewhere.
  EXPECT_THAT(Save({"LANG=../../de"}).out, HasSubstr(kEnglishDone));
}

TEST_F(Language, UnknownNameIsAUsageErrorAndFilesStillLoad) {
  Result unknown = Save({}, {"--language", "xx"});
  EXPECT_EQ(unknown.status, 64);
  EXPECT_THAT(unknown.err, HasSubstr("\"xx\""));
  EXPECT_THAT(unknown.err, HasSubstr("(en, de)"));
  EXPECT_FALSE(std::filesystem::exists(backup_));

  std::string custom = folder_ / "custom.ini";
  std::ofstream(custom) << "; a catalogue of one message\n[Backup]\n17=All done.\n";
  Result file = Save({"LANG=de_DE.UTF-8"}, {"--language", custom});
  ASSERT_EQ(file.status, 0) << file.err;
  EXPECT_THAT(file.out, HasSubstr("\"caption\":\"All done.\""));

  // A name ending in .ini is a file, even without a folder.
  EXPECT_EQ(Save({}, {"--language", "missing.ini"}).status, 2);
}

TEST_F(Language, TheClosingLineSpeaksTheCatalogueLanguage) {
  const std::string big = testing::FileDatabase(folder_ / "big.db");
  ASSERT_EQ(Host(folder_, {}, {"sample", "-c", big, "--rows", "1500"}).status, 0);
  // German groups thousands with "." and writes "," as the decimal point.
  Result german = Host(folder_, {}, {"save", "-c", big, "-f", folder_ / "big.vbk", "--language", "de"});
  ASSERT_EQ(german.status, 0) << german.err;
  EXPECT_THAT(german.err,
              ::testing::MatchesRegex("7 Tabellen, [0-9]\\.[0-9]{3} Zeilen gesichert in .*big\\.vbk "
                                      "\\([0-9]+,[0-9] KiB\\) in [0-9]+,[0-9] s\n"));

  // A catalogue file made for the component alone leaves the host's own texts in English.
  std::string custom = folder_ / "custom.ini";
  std::ofstream(custom) << "[Backup]\n17=All done.\n";
  Result english = Host(folder_, {}, {"save", "-c", source_, "-f", backup_, "--language", custom});
  EXPECT_THAT(english.err, ::testing::StartsWith("Saved 7 tables, "));

  // A name holding a placeholder of the line shows as it is.
  const std::string odd = folder_ / "{1}.vbk";
  std::ofstream(odd) << "no archive";
  Result refused = Host(folder_, {}, {"restore", "-c", folder_ / "copy.db", "-f", odd, "--language", "de"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_THAT(refused.err, HasSubstr("Nichts wiederhergestellt: " + odd +
                                     " ist keine Sicherungsdatei (kein ZIP-Archiv oder ein leeres); es wurde "
                                     "keine Datenbank angelegt\n"));
}

// The messages of a catalogue file: section (upper-cased) -> number -> text as written.
std::map<std::string, std::map<int, std::string>> ReadCatalogue(const std::string& name) {
  std::ifstream file(std::string(VELA_SOURCE_DIR) + "/resources/lang/" + name);
  EXPECT_TRUE(file) << name;
  std::map<std::string, std::map<int, std::string>> messages;
  std::string section;
  std::smatch match;
  for (std::string line; std::getline(file, line);) {
    if (std::regex_match(line, match, std::regex(R"(\[(\w+)\]\s*)")))
      section = match[1];
    else if (std::regex_match(line, match, std::regex(R"((\d+)=(.*))")))
      messages[section][std::stoi(match[1])] = match[2];
    else
      EXPECT_TRUE(line.empty() || line[0] == ';') << name << ": " << line;
  }
  return messages;
}

// What a translation must keep: its placeholders and its line breaks.
std::multiset<std::string> Markers(const std::string& text) {
  static const std::regex marker(R"(\{\d+\}|\\n)");
  std::multiset<std::string> found;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), marker); it != std::sregex_iterator(); ++it)
    found.insert(it->str());
  return found;
}

TEST(Catalogues, GermanTranslatesEveryEnglishMessage) {
  auto english = ReadCatalogue("en.ini");
  auto german = ReadCatalogue("de.ini");
  ASSERT_FALSE(english["Backup"].empty());
  for (const auto& [section, messages] : english)
    for (const auto& [number, text] : messages) {
      SCOPED_TRACE(section + " " + std::to_string(number));
      ASSERT_TRUE(german[section].contains(number));
      const std::string& translation = german[section][number];
      EXPECT_FALSE(translation.empty());
      EXPECT_NE(translation, text);
      EXPECT_EQ(Markers(translation), Markers(text));
    }
  for (const auto& [section, messages] : german)
    for (const auto& [number, text] : messages)
      EXPECT_TRUE(english[section].contains(number)) << "de.ini " << section << " " << number;

  // The library reads it as written, line breaks made real.
  auto loaded = LanguageResources::LoadFile(std::string(VELA_SOURCE_DIR) + "/resources/lang/de.ini");
  EXPECT_EQ(loaded->GetString(17, "Backup"), "Sicherung abgeschlossen.");
  EXPECT_THAT(loaded->GetString(38, "Backup"), HasSubstr("Computer erstellt werden.\nMöchten"));
}

}  // namespace
}  // namespace vela
