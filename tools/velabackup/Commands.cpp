#include "Commands.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <iostream>
#include <memory>

#include "Host.h"
#include "Language.h"
#include "Login.h"
#include "Pipe.h"
#include "Sample.h"
#include "Terminal.h"
#include "velabackup/BackupInfo.h"
#include "velabackup/CBackup.h"
#include "velabackup/Error.h"
#include "velabackup/data/Catalog.h"
#include "velabackup/data/Connection.h"

namespace vela::cli {
namespace {

Answer ParseAnswer(const std::string& text, const std::string& option) {
  std::optional<Answer> answer = Answer::Parse(text);
  if (!answer) throw UsageError(option + ": \"" + text + "\" is no answer (a number, yes or no)");
  return *answer;
}

HostOptions MakeHostOptions(const CommonOptions& common) {
  HostOptions options;
  options.jsonEvents = common.events == "jsonl";
  options.quiet = common.quiet;
  if (common.answerAll) options.answerAll = ParseAnswer(*common.answerAll, "--answer-all");
  if (common.yes) options.answerAll = Answer{Answer::Kind::kAffirmative};
  if (common.no) options.answerAll = Answer{Answer::Kind::kNegative};
  options.cancelAfter = common.cancelAfter;
  for (const std::string& answer : common.answers) {
    std::size_t eq = answer.rfind('=');
    if (eq == std::string::npos || eq == 0) throw UsageError("--answer takes GUID=N, not \"" + answer + "\"");
    options.answers[UpperCase(answer.substr(0, eq))] = ParseAnswer(answer.substr(eq + 1), "--answer");
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

// The database as the host's closing line names it: a file's path, or a server database and its server.
void NameDatabase(const Login& login, Subject& subject) {
  Utils utils;
  const std::string& connection = login.ConnectionString();
  subject.database =
      utils.KeyValue(connection, login.ServerEngine() ? "Initial Catalog" : "Data Source", ";");
  if (login.ServerEngine()) subject.server = utils.KeyValue(connection, "Data Source", ";");
}

// The rows a backup file holds, as its data files' headers say; 0 when it cannot be read (the restore
// itself says why).
std::int64_t BackupRows(const std::string& file, const std::string& password) {
  try {
    std::int64_t rows = 0;
    for (const BackupTable& table : InspectBackup(file, password).tables)
      rows += table.headerCount.value_or(0);
    return rows;
  } catch (const Error&) {
    return 0;
  }
}

bool Exists(const std::string& path) {
  std::error_code error;
  return !path.empty() && std::filesystem::exists(path, error);
}

TableChoice Chosen(const TableOptions& tables) {
  return TableChoice{tables.include, tables.exclude, tables.schemaOnly};
}

// A table named for --no-data that the database does not hold is a misspelling: the save would keep its
// rows after all.
void CheckNoDataNames(const std::vector<std::string>& noData, data::Connection& connection) {
  if (noData.empty()) return;
  std::vector<std::string> tables;
  for (const data::Catalog::Entry& entry : connection.OpenCatalog()->ListTables())
    if (entry.type == "TABLE") tables.push_back(entry.name);
  Utils utils;
  for (const std::string& name : noData) {
    if (utils.IsInArray(name, tables)) continue;
    std::string named;
    for (std::size_t i = 0; i < tables.size() && i < 8; ++i) named += (i == 0 ? "" : ", ") + tables[i];
    if (tables.size() > 8) named += " and " + std::to_string(tables.size() - 8) + " more";
    throw UsageError("--no-data: the database holds no table \"" + name + "\"" +
                     (tables.empty() ? "" : "; its tables: " + named));
  }
}

}  // namespace

int RunSave(const SaveOptions& options) {
  // -f -: the backup is written into the spool, and copied to standard output once it is complete.
  Spool spool;
  const bool toOutput = IsStandardStream(options.file);
  if (toOutput && options.common.events == "jsonl")
    throw UsageError("-f - and --events jsonl both write to standard output: give the backup file a name");
  const std::string file = toOutput ? spool.ForOutput() : options.file;
  CBackup backup(HostUtils());
  backup.SetLanguageResources(Catalogue(options.common));
  if (options.mode == "uncompressed")
    backup.SetBackupMode(bmUncompressedTextFile);
  else if (options.mode == "direct")
    backup.SetBackupMode(bmDirectCopy);
  if (options.level) backup.SetCompressionLevel(*options.level);
  if (options.common.jobs) backup.SetJobs(*options.common.jobs);
  HostOptions hostOptions = MakeHostOptions(options.common);
  hostOptions.additionalFiles = options.addFiles;
  const bool stored = options.level ? *options.level == 0 : options.mode == "uncompressed";
  hostOptions.packShare = stored ? kStoreShare : kDeflateShare;
  backup.SetArchivePassword(ArchivePassword(options.common.archivePasswordFile, file, {}, false));
  Login login(options.connection, options.common.passwordFile);
  std::unique_ptr<data::Connection> connection = login.Open();
  CheckNoDataNames(options.noData, *connection);
  backup.SetTables(Chosen(options.tables));
  Subject subject;
  subject.backupFile = options.file;
  subject.existed = !toOutput && Exists(options.file);
  NameDatabase(login, subject);
  Host host(backup, hostOptions);
  TableList noData;
  if (!options.noData.empty()) noData = options.noData;
  bool result = backup.Save(*connection, file, noData);
  connection->Close();
  if (result && toOutput) spool.SendToOutput();
  host.Finish(subject);
  return Outcome(result);
}

int RunRestore(const RestoreOptions& options) {
  CBackup backup(HostUtils());
  backup.SetLanguageResources(Catalogue(options.common));
  backup.SetRestoreRole(options.role);
  backup.SetReplaceProtectedWithPlain(options.allowPlain);
  if (options.common.jobs) backup.SetJobs(*options.common.jobs);
  backup.SetTables(Chosen(options.tables));
  HostOptions hostOptions = MakeHostOptions(options.common);
  hostOptions.selectFolder = options.selectFolder;
  Login login(options.connection, options.common.passwordFile);
  login.Check();
  // A password given for a file database is the new file's, unless --db-password names another.
  if (!options.dbPassword.empty()) WarnOfPasswordOnCommandLine(false);
  std::string dbPassword = options.dbPassword;
  if (dbPassword.empty() && !login.ServerEngine()) dbPassword = login.Password();
  backup.SetArchivePassword(
      ArchivePassword(options.common.archivePasswordFile, options.file, dbPassword, true));
  Subject subject;
  subject.save = false;
  subject.backupFile = options.file;
  NameDatabase(login, subject);
  if (!login.ServerEngine()) {
    subject.databaseFile = subject.database;
    subject.existed = Exists(subject.databaseFile);
  }
  hostOptions.save = false;
  hostOptions.packShare = kUnpackShare;
  hostOptions.backupRows = BackupRows(options.file, backup.ArchivePassword());
  Host host(backup, hostOptions);
  bool result = backup.Restore(login.ConnectionString(), options.file, options.intelligent,
                               options.ignoreRelations, dbPassword);
  host.Finish(subject);
  return Outcome(result);
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
