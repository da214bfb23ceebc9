// The command-line host's answers to the component's events: progress bar, JSON event lines, scripted
// answers and cancel, interactive questions on a terminal.
#pragma once

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

  // Ends the progress bar line.
  void Finish();

 private:
  bool Interactive() const;
  void ClearBar();

  CBackup& backup_;
  HostOptions options_;
  std::int64_t progressEvents_ = 0;
  bool barShown_ = false;
  bool terminal_ = false;
};

// JSON string literal of a UTF-8 text: control characters (C0, DEL, C1) escaped as \\uNNNN and bytes that
// are no UTF-8 replaced by U+FFFD, so that every event line is valid JSON whatever a name holds.
std::string JsonString(const std::string& text);
// A text for the terminal. Names read from a backup file (members, tables, columns) and the messages
// that quote them may hold anything: control characters (C0, DEL, C1, and with them every escape
// sequence, which starts with one) and bytes that are no UTF-8 are shown as \\xNN, so that a name cannot
// clear the screen, move the cursor or retitle the window. Everything else passes unchanged.
std::string Printable(std::string_view text);
// A connection string fit to show: its password items removed.
std::string WithoutPasswords(const std::string& connectionString);

// Small text chores of the host: upper case (ASCII) and blanks trimmed at both ends.
std::string UpperCase(std::string text);
std::string Trimmed(const std::string& text);

}  // namespace vela::cli
