// velabackup: the command-line host of the backup component.
//
// Exit status: 0 when the operation returned True, 1 when it returned False (cancelled, refused, nothing
// to do), 2 on a failure (number and description on standard error), 64 on a usage error.
#include <CLI/CLI.hpp>

#include <cstdlib>
#include <iostream>

#include "Commands.h"
#include "Pipe.h"
#include "Terminal.h"
#include "velabackup/Error.h"

namespace {

constexpr int kExitUsage = 64;
constexpr const char* kConnectionHelp =
    "connection string, path of a SQLite file, or postgresql://user@host:port/database";

void AddArchivePassword(CLI::App& command, std::string& file) {
  command.add_option(
      "--archive-password-file", file,
      "the backup file's password (its members encrypted with AES-256), from the first line of "
      "a file");
}

// Adds the choice of tables a save and a restore share.
void AddTables(CLI::App& command, vela::cli::TableOptions& tables, const char* verb) {
  command
      .add_option(
          "-t,--table", tables.include,
          std::string("take only the tables this pattern matches (* and ?; on a server \"schema.table\" "
                      "or a table in any schema); repeatable, a pattern that matches no table fails the ") +
              verb)
      ->type_name("PATTERN");
  command
      .add_option("-T,--exclude-table", tables.exclude,
                  "leave out the tables this pattern matches (repeatable; wins over --table)")
      ->type_name("PATTERN");
  command.add_flag("--schema-only", tables.schemaOnly, "the tables' structure only, without their rows");
}

// The answers to the component's questions: in words for every question, by number for one.
void AddAnswers(CLI::App& command, vela::cli::CommonOptions& common) {
  command.add_option(
      "--answer", common.answers,
      "answer for ShowMessage questions with that MessageGUID (GUID=N, N: a number, yes or no)");
  CLI::Option* all =
      command.add_option("--answer-all", common.answerAll,
                         "answer for every ShowMessage question not named by --answer (N, yes or no)");
  CLI::Option* yes = command.add_flag("--yes", common.yes,
                                      "answer every question not named by --answer with Yes (or OK, Retry)");
  CLI::Option* no =
      command.add_flag("--no", common.no, "answer every question not named by --answer with No (or Cancel)");
  yes->excludes(no)->excludes(all);
  no->excludes(all);
}

// Adds the options every operation shares.
void AddCommon(CLI::App& command, vela::cli::CommonOptions& common) {
  command
      .add_option("--language", common.language,
                  "a shipped catalogue by name (en, de) or a catalogue file (default: the locale's, else en)")
      ->type_name("NAME|FILE");
  AddAnswers(command, common);
  command.add_option("--cancel-after", common.cancelAfter,
                     "call Cancel from inside the Nth UpdateProgress event");
  command.add_option("--events", common.events, "write every event as one JSON object per line (jsonl)")
      ->check(CLI::IsMember({"jsonl"}));
  command.add_flag("--quiet", common.quiet, "no progress bar");
  command
      .add_option("-j,--jobs", common.jobs,
                  "tables worked on at once, each on a connection of its own (default: one per core)")
      ->check(CLI::Range(1, 256));
  command.add_option("--password-file", common.passwordFile,
                     "the password, from the first line of a file (server databases: also PGPASSWORD)");
  AddArchivePassword(command, common.archivePasswordFile);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "VelaBackup: back a database up into one file and restore it, into the same engine or another."};
  app.require_subcommand(1);
  app.set_help_all_flag("--help-all", "help for every command");
  app.set_version_flag("--version", "velabackup " VELA_VERSION);

  vela::cli::SaveOptions save;
  CLI::App* saveCommand = app.add_subcommand("save", "back the database up into a backup file");
  saveCommand->add_option("-c,--connection", save.connection, kConnectionHelp)->required();
  saveCommand->add_option("-f,--file", save.file, "backup file to write (-: standard output)")->required();
  saveCommand->add_option("--mode", save.mode, "compressed, uncompressed or direct")
      ->check(CLI::IsMember({"compressed", "uncompressed", "direct"}));
  saveCommand
      ->add_option("-Z,--level", save.level,
                   "compression level: 0 stores the members, 1 (fastest) to 12 (smallest) deflates them "
                   "(default: the mode's own)")
      ->check(CLI::Range(0, 12));
  saveCommand->add_option("--no-data", save.noData, "table whose rows are not saved (repeatable)");
  saveCommand->add_option("--add-file", save.addFiles,
                          "file of the host to pack with the backup (repeatable)");
  AddTables(*saveCommand, save.tables, "save");
  AddCommon(*saveCommand, save.common);

  vela::cli::RestoreOptions restore;
  CLI::App* restoreCommand = app.add_subcommand("restore", "restore a backup file into a new database");
  restoreCommand->add_option("-c,--connection", restore.connection, kConnectionHelp)->required();
  restoreCommand->add_option("-f,--file", restore.file, "backup file to read (-: standard input)")
      ->required();
  restoreCommand->add_flag("--intelligent", restore.intelligent, "keep the stored names of keys");
  restoreCommand->add_option("--ignore-relations", restore.ignoreRelations,
                             "relations to leave out, as table.column items separated by ';'");
  restoreCommand->add_option("--db-password", restore.dbPassword, "password of the new file database");
  restoreCommand->add_option("--role", restore.role,
                             "run every statement of a server restore as this role (the login must be "
                             "allowed to become it): the backup's code gets the role's rights only");
  restoreCommand->add_flag("--allow-plain", restore.allowPlain,
                           "replace a password-protected file database by a plain one when no password is "
                           "given for the new file");
  restoreCommand->add_option("--select-folder", restore.selectFolder,
                             "folder for the files of older backups");
  AddTables(*restoreCommand, restore.tables, "restore");
  AddCommon(*restoreCommand, restore.common);

  vela::cli::InspectOptions inspect;
  CLI::App* inspectCommand =
      app.add_subcommand("inspect", "members, mode, source engine, tables with row counts");
  inspectCommand->add_option("-f,--file", inspect.file, "backup file (-: standard input)")->required();
  inspectCommand->add_flag("--json", inspect.json, "one JSON document for scripts");
  AddArchivePassword(*inspectCommand, inspect.archivePasswordFile);

  vela::cli::VerifyOptions verify;
  CLI::App* verifyCommand = app.add_subcommand(
      "verify", "check every member, the document and every data file without a database (2: damaged)");
  verifyCommand->add_option("-f,--file", verify.file, "backup file (-: standard input)")->required();
  verifyCommand->add_option("--no-data", verify.noData,
                            "table saved with --no-data: its missing data file is expected (repeatable)");
  verifyCommand->add_flag("--quiet", verify.quiet, "no progress bar");
  verifyCommand->add_option("--password-file", verify.passwordFile,
                            "the password of an encrypted direct copy, from the first line of a file: its "
                            "pages are checked too");
  AddArchivePassword(*verifyCommand, verify.archivePasswordFile);

  vela::cli::SampleOptions sample;
  CLI::App* sampleCommand =
      app.add_subcommand("sample", "a sample database with every supported type (demos, tests, benchmarks)");
  sampleCommand->add_option("-c,--connection", sample.connection, kConnectionHelp)->required();
  sampleCommand->add_option("--rows", sample.rows, "rows in the large table");
  sampleCommand->add_option("--password-file", sample.passwordFile,
                            "the password, from the first line of a file");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    int code = app.exit(error);
    return code == 0 ? 0 : kExitUsage;
  }

  vela::cli::CatchInterrupts();
  vela::cli::Spool spool;
  try {
    // -f - for restore, inspect and verify: standard input is copied into the spool first.
    if (restoreCommand->parsed()) restore.file = spool.Input(restore.file);
    if (inspectCommand->parsed()) inspect.file = spool.Input(inspect.file);
    if (verifyCommand->parsed()) verify.file = spool.Input(verify.file);
    if (saveCommand->parsed()) return vela::cli::RunSave(save);
    if (restoreCommand->parsed()) return vela::cli::RunRestore(restore);
    if (inspectCommand->parsed()) return vela::cli::RunInspect(inspect);
    if (verifyCommand->parsed()) return vela::cli::RunVerify(verify);
    if (sampleCommand->parsed()) return vela::cli::RunSample(sample);
  } catch (const vela::cli::UsageError& error) {
    std::cerr << "velabackup: " << vela::cli::Printable(error.what()) << "\n";
    return kExitUsage;
  } catch (const vela::Error& error) {
    std::cerr << "velabackup: error " << vela::FormatErrorNumber(error.Number()) << " (" << error.Source()
              << "): " << vela::cli::PrintableLines(error.Description()) << "\n";
    return 2;
  } catch (const std::exception& error) {
    std::cerr << "velabackup: " << vela::cli::Printable(error.what()) << "\n";
    return 2;
  }
  return kExitUsage;
}
