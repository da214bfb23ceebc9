#include "Commands.h"

#include <zip.h>

#include <pugixml.hpp>

#include <algorithm>
#include <charconv>
#include <iostream>
#include <memory>

#include "Host.h"
#include "Language.h"
#include "Login.h"
#include "Sample.h"
#include "velabackup/BackupFile.h"
#include "velabackup/CBackup.h"
#include "velabackup/Error.h"
#include "velabackup/data/Connection.h"

namespace vela::cli {
namespace {

std::int32_t ParseNumber(const std::string& text, const std::string& option) {
  std::int32_t number = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size())
    throw UsageError(option + ": \"" + text + "\" is not a number");
  return number;
}

HostOptions MakeHostOptions(const CommonOptions& common) {
  HostOptions options;
  options.jsonEvents = common.events == "jsonl";
  options.quiet = common.quiet;
  options.answerAll = common.answerAll;
  options.cancelAfter = common.cancelAfter;
  for (const std::string& answer : common.answers) {
    std::size_t eq = answer.rfind('=');
    if (eq == std::string::npos || eq == 0) throw UsageError("--answer takes GUID=N, not \"" + answer + "\"");
    options.answers[UpperCase(answer.substr(0, eq))] = ParseNumber(answer.substr(eq + 1), "--answer");
  }
  return options;
}

std::shared_ptr<LanguageResources> Catalogue(const CommonOptions& common) {
  return ChooseCatalogue(common.language, ShippedCatalogueFolder(), MessageLocale());
}

int Outcome(bool result) {
  return result ? 0 : 1;
}

// The platform services, with the component's record of passed-over failures (a relation the target
// refused) going to standard error.
std::shared_ptr<Utils> HostUtils() {
  auto utils = std::make_shared<Utils>();
  utils->SetLogSink([](const std::string& line) { std::cerr << "velabackup: " << Printable(line) << "\n"; });
  return utils;
}

}  // namespace

int RunSave(const SaveOptions& options) {
  CBackup backup(HostUtils());
  backup.SetLanguageResources(Catalogue(options.common));
  if (options.mode == "uncompressed")
    backup.SetBackupMode(bmUncompressedTextFile);
  else if (options.mode == "direct")
    backup.SetBackupMode(bmDirectCopy);
  HostOptions hostOptions = MakeHostOptions(options.common);
  hostOptions.additionalFiles = options.addFiles;
  Login login(options.connection, options.common.passwordFile);
  std::unique_ptr<data::Connection> connection = login.Open();
  Host host(backup, hostOptions);
  TableList noData;
  if (!options.noData.empty()) noData = options.noData;
  bool result = backup.Save(*connection, options.file, noData);
  host.Finish();
  connection->Close();
  return Outcome(result);
}

int RunRestore(const RestoreOptions& options) {
  CBackup backup(HostUtils());
  backup.SetLanguageResources(Catalogue(options.common));
  HostOptions hostOptions = MakeHostOptions(options.common);
  hostOptions.selectFolder = options.selectFolder;
  Login login(options.connection, options.common.passwordFile);
  login.Check();
  // A password given for a file database is the new file's, unless --db-password names another.
  std::string dbPassword = options.dbPassword;
  if (dbPassword.empty() && !login.ServerEngine()) dbPassword = login.Password();
  Host host(backup, hostOptions);
  bool result = backup.Restore(login.ConnectionString(), options.file, options.intelligent,
                               options.ignoreRelations, dbPassword);
  host.Finish();
  return Outcome(result);
}

namespace {

// The largest backup document inspect reads: far beyond any real schema, small enough to hold in memory.
constexpr std::size_t kMaxInspectedDocument = std::size_t{64} << 20;
constexpr std::size_t kReadPiece = std::size_t{64} << 10;

// One archive opened for reading with libzip.
class Archive {
 public:
  explicit Archive(const std::string& path) {
    int error = 0;
    archive_ = zip_open(path.c_str(), ZIP_RDONLY, &error);
    if (archive_ == nullptr) {
      zip_error_t details;
      zip_error_init_with_code(&details, error);
      std::string message = zip_error_strerror(&details);
      zip_error_fini(&details);
      throw Error(kFileNotFound, kSourceHost, "Cannot open the backup file " + path + ": " + message);
    }
  }
  ~Archive() { zip_discard(archive_); }
  Archive(const Archive&) = delete;
  Archive& operator=(const Archive&) = delete;

  zip_int64_t Count() const { return zip_get_num_entries(archive_, 0); }
  bool Stat(zip_int64_t index, zip_stat_t& stat) const {
    return zip_stat_index(archive_, index, 0, &stat) == 0;
  }
  std::optional<zip_int64_t> Find(const std::string& name) const {
    zip_int64_t index = zip_name_locate(archive_, name.c_str(), ZIP_FL_NOCASE | ZIP_FL_NODIR);
    if (index < 0) return std::nullopt;
    return index;
  }
  // Up to `limit` bytes of a member, read in pieces: memory follows what the member holds, never the size it
  // declares. Empty when the member cannot be read.
  std::string Read(zip_int64_t index, std::size_t limit) const {
    std::unique_ptr<zip_file_t, int (*)(zip_file_t*)> file(zip_fopen_index(archive_, index, 0), zip_fclose);
    std::string content;
    while (file && content.size() < limit) {
      const std::size_t had = content.size();
      content.resize(had + std::min(kReadPiece, limit - had));
      const zip_int64_t got = zip_fread(file.get(), content.data() + had, content.size() - had);
      content.resize(had + static_cast<std::size_t>(std::max<zip_int64_t>(got, 0)));
      if (got < 0) return {};
      if (got == 0) break;
    }
    return content;
  }

 private:
  zip_t* archive_ = nullptr;
};

// The record count in a table data file's header, read from its first bytes (UTF-16LE after the BOM).
std::string HeaderCount(const std::string& bytes) {
  std::string digits;
  std::size_t i = bytes.compare(0, 2, "\xFF\xFE") == 0 ? 2 : 0;
  if (i + 1 >= bytes.size() || bytes[i] != '[') return "?";
  for (i += 2; i + 1 < bytes.size(); i += 2) {
    char c = bytes[i];
    if (bytes[i + 1] != 0) break;
    if (c == ']') return digits;
    if (c >= '0' && c <= '9') digits += c;
  }
  return "?";
}

}  // namespace

int RunInspect(const InspectOptions& options) {
  Archive archive(options.file);
  std::cout << "Backup file: " << options.file << "\n";
  auto readSmall = [&](const char* name) -> std::string {
    auto index = archive.Find(name);
    return index ? Trimmed(archive.Read(*index, 64)) : std::string();
  };
  std::string mode = readSmall(kModeMember), provider = readSmall(kProviderMember);
  const char* modeName = mode == "0"   ? "compressed text"
                         : mode == "1" ? "uncompressed text"
                         : mode == "2" ? "direct copy"
                                       : "unknown";
  const char* engine = provider == "1"   ? "file database (Microsoft.Jet.OLEDB.4.0)"
                       : provider == "2" ? "server database (SQLOLEDB.1)"
                                         : "unknown";
  std::cout << "Mode: " << (mode.empty() ? "-" : Printable(mode)) << " (" << modeName << ")\n";
  std::cout << "Source engine: " << (provider.empty() ? "-" : Printable(provider)) << " (" << engine << ")\n";
  std::cout << "Members:\n";
  for (zip_int64_t i = 0; i < archive.Count(); ++i) {
    zip_stat_t stat;
    if (!archive.Stat(i, stat)) continue;
    std::cout << "  " << Printable(stat.name) << "  " << stat.size << " bytes, " << stat.comp_size
              << " packed, " << (stat.comp_method == ZIP_CM_STORE ? "stored" : "deflated") << "\n";
  }
  if (auto index = archive.Find(kDocumentMember)) {
    zip_stat_t stat;
    if (!archive.Stat(*index, stat) || (stat.valid & ZIP_STAT_SIZE) == 0) {
      std::cout << "The backup document " << kDocumentMember << " cannot be read.\n";
      return 2;
    }
    if (stat.size > kMaxInspectedDocument) {
      std::cout << "The backup document " << kDocumentMember << " declares " << stat.size
                << " bytes, more than the " << kMaxInspectedDocument << " this command reads.\n";
      return 2;
    }
    // One byte beyond the declared size shows a member that holds more than it says.
    std::string text = archive.Read(*index, static_cast<std::size_t>(stat.size) + 1);
    if (text.size() > stat.size) {
      std::cout << "The backup document " << kDocumentMember << " holds more than the " << stat.size
                << " bytes it declares.\n";
      return 2;
    }
    pugi::xml_document document;
    if (!document.load_buffer(text.data(), text.size())) {
      std::cout << "The backup document cannot be read.\n";
      return 2;
    }
    std::cout << "Tables:\n";
    for (pugi::xml_node table : document.document_element().first_child().children("Table")) {
      std::string file = table.attribute("FileName").value();
      auto member = archive.Find(file);
      std::string rows = member ? HeaderCount(archive.Read(*member, 64)) + " rows" : "structure only";
      std::cout << "  " << Printable(table.attribute("Name").value()) << ": "
                << std::distance(table.child("Columns").children().begin(),
                                 table.child("Columns").children().end())
                << " columns, " << rows << "\n";
    }
  }
  return 0;
}

int RunSample(const SampleOptions& options) {
  if (options.rows < 0) throw UsageError("--rows must not be negative");
  Login login(options.connection, options.passwordFile);
  login.Check();
  MakeSampleDatabase(login.ConnectionString(), options.rows);
  std::cout << "Sample database written: " << login.Shown() << "\n";
  return 0;
}

}  // namespace vela::cli
