// The command-line host's answers to the component's events: progress bar, JSON event lines, scripted
// answers and cancel, interactive questions on a terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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
  // did: what it saved or restored, or why it did nothing and what it left untouched.
  void Finish(bool result, const Subject& subject);

 private:
  using Clock = std::chrono::steady_clock;

  bool Interactive() const;
  // Every event: a Ctrl-C since the last one cancels the operation.
  void Heard();
  void DrawBar(bool force);
  void ClearBar();
  std::string OutcomeLine(bool result, const Subject& subject) const;
  // A text of the host's own in the catalogue's language (HostText), and the numbers and sizes in it.
  std::string Text(std::int32_t number, const std::vector<std::string>& arguments = {}) const;
  std::string Grouped(std::int64_t number) const;
  std::string Counted(std::int64_t number, std::int32_t one, std::int32_t many) const;
  std::string Duration(double seconds) const;
  bool Saw(const char* guid) const;

  CBackup& backup_;
  HostOptions options_;
  std::int64_t progressEvents_ = 0;
  bool barShown_ = false;
  bool terminal_ = false;
  bool cancelled_ = false;  // this host called Cancel

  Clock::time_point started_ = Clock::now();
  std::optional<Clock::time_point> drawn_;
  std::int32_t value_ = 0;
  std::string caption_;                        // of the last UpdateProgress
  bool serverRestoreBegan_ = false;            // the server's own restore of a direct copy was started
  std::map<std::string, std::int32_t> heard_;  // ShowMessage GUIDs (upper-cased) and their results

  // The table whose rows are under way, and the rows of every table so far.
  struct TableRun {
    std::string name;
    std::int64_t done = 0, total = 0;
    Clock::time_point began;
    bool active = false;
  } table_;
  std::map<std::string, std::int64_t> rows_;
};

// Ctrl-C: the first cancels the running operation at its next event, the second ends the process at once.
void CatchInterrupts();
// A text for the terminal. Names read from a backup file (members, tables, columns) and the messages
// that quote them may hold anything: control characters (C0, DEL, C1, and with them every escape
// sequence, which starts with one) and bytes that are no UTF-8 are shown as \\xNN, so that a name cannot
// clear the screen, move the cursor or retitle the window. Everything else passes unchanged.
std::string Printable(std::string_view text);
// A connection string fit to show: its password items removed.
std::string WithoutPasswords(const std::string& connectionString);

// 1,000,250: a number with `separator` between groups of three digits.
std::string GroupedNumber(std::int64_t number, std::string_view separator = ",");
// A size in binary units, as the host shows sizes: "912 B", "24.7 MiB" (with `decimal` for the point).
std::string HumanSize(std::uintmax_t bytes, std::string_view decimal = ".");

// ASCII letters in upper or lower case, everything else as it is.
std::string UpperCase(std::string_view text);
std::string LowerCase(std::string_view text);

}  // namespace vela::cli
