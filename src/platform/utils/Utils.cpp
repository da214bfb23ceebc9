#include "velabackup/Utils.h"

#include <fcntl.h>
#include <langinfo.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "platform/text/Strings.h"
#include "platform/utils/FileDescriptor.h"
#include "platform/utils/KeyValue.h"
#include "velabackup/Error.h"

namespace fs = std::filesystem;

namespace vela {
namespace {

constexpr const char* kSource = kSourceUtils;

[[noreturn]] void FailPath(std::string_view what, std::string_view path, const std::error_code& ec) {
  throw Error(kPathAccess, kSource, std::string(what) + " " + std::string(path) + ": " + ec.message());
}

fs::path PathOf(std::string_view path) {
  return fs::path(std::string(path));
}

// The separators of the current user's locale, read without touching the process-wide locale.
struct LocaleSeparators {
  std::string decimal = ".", thousands = ",", monetaryDecimal = ".", monetaryThousands = ",";
};

LocaleSeparators ReadLocale() {
  LocaleSeparators separators;
  locale_t locale = newlocale(LC_NUMERIC_MASK | LC_MONETARY_MASK, "", static_cast<locale_t>(0));
  if (locale == static_cast<locale_t>(0)) return separators;
  auto item = [&](nl_item name, std::string& out) {
    const char* value = nl_langinfo_l(name, locale);
    if (value != nullptr && *value != '\0') out = value;
  };
  item(RADIXCHAR, separators.decimal);
  item(THOUSEP, separators.thousands);
  item(MON_DECIMAL_POINT, separators.monetaryDecimal);
  item(MON_THOUSANDS_SEP, separators.monetaryThousands);
  freelocale(locale);
  // The C locale has no grouping character; take the one that pairs with its decimal point, as the
  // backup document always records one.
  if (separators.thousands == separators.decimal)
    separators.thousands = separators.decimal == "," ? "." : ",";
  if (separators.monetaryThousands == separators.monetaryDecimal)
    separators.monetaryThousands = separators.monetaryDecimal == "," ? "." : ",";
  return separators;
}

}  // namespace

std::string Utils::KeyValue(std::string_view text, std::string_view key, std::string_view separator) const {
  return utils::KeyValue(text, key, separator);
}

std::string Utils::SetKeyValue(std::string_view text, std::string_view key, std::string_view value,
                               std::string_view separator) const {
  return utils::SetKeyValue(text, key, value, separator);
}

std::string Utils::JoinPath(std::string_view folder, std::string_view name) const {
  if (folder.empty()) return std::string(name);
  return (PathOf(folder) / PathOf(name)).string();
}

std::string Utils::NamePart(std::string_view path) const {
  return PathOf(path).filename().string();
}
std::string Utils::ParentFolder(std::string_view path) const {
  return PathOf(path).parent_path().string();
}
std::string Utils::Extension(std::string_view path) const {
  std::string ext = PathOf(path).extension().string();
  return ext.empty() ? ext : ext.substr(1);
}

std::string Utils::UniqueName(bool) const {
  // 122 random bits from the system's entropy source: unique across processes and machines.
  std::random_device device;
  std::array<std::uint32_t, 4> words{device(), device(), device(), device()};
  words[1] = (words[1] & 0xFFFF0FFFu) | 0x00004000u;  // version 4
  words[2] = (words[2] & 0x3FFFFFFFu) | 0x80000000u;  // variant
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%04X-%04X%08X}", words[0], words[1] >> 16,
                words[1] & 0xFFFF, words[2] >> 16, words[2] & 0xFFFF, words[3]);
  return text;
}

std::string Utils::TempFolder() const {
  std::error_code ec;
  fs::path temp = fs::temp_directory_path(ec);
  return ec ? std::string("/tmp") : temp.string();
}

void Utils::CreateFolder(std::string_view path) const {
  fs::path folder = PathOf(path);
  std::error_code ec;
  if (folder.has_parent_path()) fs::create_directories(folder.parent_path(), ec);
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
    FailPath("Cannot create the folder", path, std::error_code(errno, std::generic_category()));
}

void Utils::RemoveFolder(std::string_view path, bool withContents) const {
  std::error_code ec;
  if (withContents)
    fs::remove_all(PathOf(path), ec);
  else
    fs::remove(PathOf(path), ec);
  if (ec) FailPath("Cannot remove the folder", path, ec);
}

bool Utils::FileExists(std::string_view path) const {
  std::error_code ec;
  return fs::is_regular_file(PathOf(path), ec);
}

bool Utils::FolderExists(std::string_view path) const {
  std::error_code ec;
  return fs::is_directory(PathOf(path), ec);
}

void Utils::DeleteFile(std::string_view path) const {
  std::error_code ec;
  fs::remove(PathOf(path), ec);
  if (ec && ec != std::errc::no_such_file_or_directory) FailPath("Cannot delete the file", path, ec);
}

bool Utils::CopyFile(std::string_view source, std::string_view destination) const {
  std::error_code ec;
  return fs::copy_file(PathOf(source), PathOf(destination), fs::copy_options::overwrite_existing, ec);
}

void Utils::CopyFolder(std::string_view source, std::string_view destination) const {
  std::error_code ec;
  fs::copy(PathOf(source), PathOf(destination),
           fs::copy_options::recursive | fs::copy_options::overwrite_existing, ec);
  if (ec) FailPath("Cannot copy the folder", source, ec);
}

bool Utils::MoveFolder(std::string_view source, std::string_view destination) const {
  std::error_code ec;
  fs::rename(PathOf(source), PathOf(destination), ec);
  if (!ec) return true;
  // Across file systems a rename fails; copy, then remove the source.
  fs::copy(PathOf(source), PathOf(destination), fs::copy_options::recursive, ec);
  if (ec) return false;
  fs::remove_all(PathOf(source), ec);
  return true;
}

std::string Utils::AdjustPath(std::string_view path) const {
  fs::path candidate = PathOf(path);
  std::error_code ec;
  if (!fs::exists(candidate, ec)) return candidate.string();
  fs::path folder = candidate.parent_path();
  std::string stem = candidate.stem().string(), extension = candidate.extension().string();
  for (int n = 2;; ++n) {
    fs::path next = folder / (stem + " (" + std::to_string(n) + ")" + extension);
    if (!fs::exists(next, ec)) return next.string();
  }
}

void Utils::WriteTextFile(std::string_view path, std::string_view text) const {
  utils::FileDescriptor file = utils::FileDescriptor::CreateNew(PathOf(path).c_str());
  std::error_code error = file.IsOpen() ? file.WriteAll(text.data(), text.size())
                                        : std::error_code(errno, std::generic_category());
  if (!error) error = file.Close();
  if (error)
    throw Error(kPathAccess, kSource, "Cannot write the file " + std::string(path) + ": " + error.message());
}

std::string Utils::ReadTextFile(std::string_view path) const {
  std::ifstream in(PathOf(path), std::ios::binary);
  if (!in) throw Error(kFileNotFound, kSource, "Cannot read the file " + std::string(path));
  std::ostringstream content;
  content << in.rdbuf();
  std::string text = content.str();
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
  return text;
}

bool Utils::IsInArray(std::string_view text, const std::vector<std::string>& array) const {
  for (const std::string& item : array)
    if (text::EqualsNoCase(item, text)) return true;
  return false;
}

std::string Utils::LocaleItem(int item) const {
  LocaleSeparators separators = ReadLocale();
  switch (item) {
    case kLocaleDecimalSeparator:
      return separators.decimal;
    case kLocaleThousandSeparator:
      return separators.thousands;
    case kLocaleMonetaryDecimalSeparator:
      return separators.monetaryDecimal;
    case kLocaleMonetaryThousandSeparator:
      return separators.monetaryThousands;
    default:
      throw Error(kInvalidArgument, kSource, "Unknown locale item " + std::to_string(item));
  }
}

std::string Utils::ComputerName() const {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

std::string Utils::DateToText(const data::Value& date, bool) const {
  // Dates already travel in the canonical text form; other values give their own text.
  return date.AsText();
}

void Utils::RecordError(std::int32_t number, std::string_view source, std::string_view description,
                        std::int32_t line, std::int32_t) const {
  if (!logSink_) return;
  logSink_(FormatErrorNumber(number) + " " + std::string(source) + ": " + std::string(description) +
           " (line " + std::to_string(line) + ")");
}

}  // namespace vela
