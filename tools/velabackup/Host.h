// The command-line host's answers to the component's events (JSON event lines, scripted answers and cancel,
// interactive questions on a terminal, the progress bar) and the line that ends a save or restore.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Terminal.h"
#include "velabackup/CBackup.h"

namespace vela::cli {

struct HostOptions {
  bool jsonEvents = false;
  bool quiet = false;
  std::map<std::string, std::int32_t> answers;  // by MessageGUID, upper-cased
  std::optional<std::int32_t> answerAll;
  std::int64_t cancelAfter = 0;  // 0: never
  std::vector<std::string> additionalFiles;
  std::optional<std::string> selectFolder;
};

// What a save or restore works on, for the line that ends it.
struct Subject {
  bool save = true;          // a save, else a restore
  std::string backupFile;    // as given on the command line
  std::string database;      // a file database's path, or a server database's name
  std::string server;        // the server of a server database ("Data Source"), empty for a file
  std::string databaseFile;  // a file database's path (its size ends a restore), empty for a server
  bool existed = false;      // the backup file (save) or the database file (restore) was there before
};

class Host : public CBackupEvents {
 public:
  Host(CBackup& backup, HostOptions options);
  ~Host() override;

  void UpdateProgress(std::int32_t value, const std::string& caption) override;
  void ShowMessage(const std::string& prompt, std::int32_t buttons, const std::string& messageGuid,
                   std::int32_t& result) override;
  void DatabaseCorruptionFound() override;
  void RequestAdditionalFiles(std::optional<std::vector<std::string>>& files, const std::string& tempPath,
                              const TableList& doNotSaveDataTables) override;
  void RestoreAdditionalFiles(const std::string& sourcePath, const std::string& previousTempPath,
                              const std::string& connectionString) override;
  void SelectFolder(const std::string& caption, std::string& folder) override;
  void TableProgress(const std::string& table, std::int64_t rowsDone, std::int64_t rowsTotal) override;

  // Ends the progress bar line and, unless quiet, says in one line on standard error what the operation
  // did (CBackup::LastOutcome): what it saved or restored, or why it did nothing and what it left untouched.
  void Finish(const Subject& subject);

 private:
  using Clock = std::chrono::steady_clock;

  // Every event: a Ctrl-C since the last one cancels the operation.
  void Heard();
  std::string OutcomeLine(const Subject& subject) const;

  CBackup& backup_;
  HostOptions options_;
  Wording wording_;
  ProgressBar bar_;
  std::int64_t progressEvents_ = 0;
  bool cancelled_ = false;  // this host called Cancel
  Clock::time_point started_ = Clock::now();
  std::map<std::string, std::int64_t> rows_;  // the rows of every table so far
};

// A connection string fit to show: its password items removed.
std::string WithoutPasswords(const std::string& connectionString);

// ASCII letters in upper or lower case, everything else as it is.
std::string UpperCase(std::string_view text);
std::string LowerCase(std::string_view text);

}  // namespace vela::cli
