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

#include "Overall.h"
#include "Terminal.h"
#include "velabackup/CBackup.h"

namespace vela::cli {

// An answer given on the command line: a button's number, or a word for the affirmative (Yes, OK, Retry)
// or the negative (No, Cancel) button of whatever buttons the question shows.
struct Answer {
  enum class Kind { kNumber, kAffirmative, kNegative } kind = Kind::kNumber;
  std::int32_t number = 0;

  // "6", "yes" or "no" (any case); nothing when it is none of them.
  static std::optional<Answer> Parse(const std::string& text);
  // The result for a question with these buttons (ShowMessage's style in the low four bits).
  std::int32_t For(std::int32_t buttons) const;
};

struct HostOptions {
  bool jsonEvents = false;
  bool quiet = false;
  std::map<std::string, Answer> answers;  // by MessageGUID, upper-cased
  std::optional<Answer> answerAll;
  std::int64_t cancelAfter = 0;  // 0: never
  std::vector<std::string> additionalFiles;
  std::optional<std::string> selectFolder;
  // For the overall percentage (OverallProgress): a save or a restore, the share of packing or unpacking,
  // and a restore's rows in all (0: not known).
  bool save = true;
  std::int32_t packShare = kDeflateShare;
  std::int64_t backupRows = 0;
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

  // Every event: a notice before it is shown, and a Ctrl-C since the last one cancels the operation.
  void Heard();
  void ShowNotice();
  std::string OutcomeLine(const Subject& subject) const;

  CBackup& backup_;
  HostOptions options_;
  Wording wording_;
  ProgressBar bar_;
  OverallProgress overall_;
  std::int64_t progressEvents_ = 0;
  bool cancelled_ = false;     // this host called Cancel
  std::string pendingNotice_;  // the last notice (a message with an OK button alone), not yet shown
  Clock::time_point started_ = Clock::now();
  std::map<std::string, std::int64_t> rows_;  // the rows of every table so far
};

// A connection string fit to show: its password items removed.
std::string WithoutPasswords(const std::string& connectionString);

// ASCII letters in upper or lower case, everything else as it is.
std::string UpperCase(std::string_view text);
std::string LowerCase(std::string_view text);

}  // namespace vela::cli
