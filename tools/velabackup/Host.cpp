#include "Host.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <iostream>
#include <optional>

#include "velabackup/data/Connection.h"

namespace vela::cli {

std::string UpperCase(std::string_view text) {
  std::string upper(text);
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return upper;
}

std::string LowerCase(std::string_view text) {
  std::string lower(text);
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return lower;
}

std::string WithoutPasswords(const std::string& connectionString) {
  return data::RemovePasswords(connectionString);
}

namespace {

// One event line of --events jsonl. Everything past ASCII goes escaped, so a line is as safe on a
// terminal as the text the terminal shows (Printable); bytes that are no UTF-8 become U+FFFD.
void Emit(const nlohmann::ordered_json& line) {
  std::cout << line.dump(-1, ' ', true, nlohmann::ordered_json::error_handler_t::replace) << std::endl;
}

// The size of a file, when there is one.
std::optional<std::uintmax_t> FileSize(const std::string& path) {
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(path, error);
  if (error) return std::nullopt;
  return size;
}

// A button's answer by its name.
std::string AnswerName(std::int32_t result) {
  static constexpr const char* kNames[] = {"none", "OK", "Cancel", "Abort", "Retry", "Ignore", "Yes", "No"};
  return result >= 0 && result < static_cast<std::int32_t>(std::size(kNames)) ? kNames[result]
                                                                              : std::to_string(result);
}

// A text of the component's own catalogue: the captions it raises progress with.
std::string ComponentText(const CBackup& backup, std::int32_t number) {
  const std::shared_ptr<LanguageResources> catalogue = backup.GetLanguageResources();
  std::string text = catalogue ? catalogue->GetString(number, "Backup") : std::string();
  return text.empty() ? LanguageResources::English()->GetString(number, "Backup") : text;
}

}  // namespace

Host::Host(CBackup& backup, HostOptions options)
    : backup_(backup),
      options_(std::move(options)),
      wording_(backup_),
      bar_(wording_, options_.quiet),
      overall_(options_.save, ComponentText(backup_, options_.save ? 9 : 33), options_.packShare,
               options_.backupRows) {
  backup_.SetEvents(this);
}

Host::~Host() {
  ShowNotice();
  bar_.Clear();
  backup_.SetEvents(nullptr);
}

void Host::ShowNotice() {
  if (pendingNotice_.empty()) return;
  bar_.Clear();
  std::cerr << PrintableLines(pendingNotice_) << "\n";
  pendingNotice_.clear();
}

void Host::Heard() {
  ShowNotice();
  if (Interrupted() && !cancelled_) {
    cancelled_ = true;
    backup_.Cancel();
  }
}

void Host::UpdateProgress(std::int32_t value, const std::string& caption) {
  Heard();
  ++progressEvents_;
  overall_.Step(value, caption);
  if (options_.jsonEvents)
    Emit({{"event", "UpdateProgress"},
          {"value", value},
          {"caption", caption},
          {"overall", overall_.Percent()}});
  bar_.Progress(overall_.Percent(), caption);
  if (options_.cancelAfter > 0 && progressEvents_ == options_.cancelAfter && !cancelled_) {
    cancelled_ = true;
    backup_.Cancel();
  }
}

void Host::TableProgress(const std::string& table, std::int64_t rowsDone, std::int64_t rowsTotal) {
  Heard();
  if (options_.jsonEvents)
    Emit({{"event", "TableProgress"}, {"table", table}, {"rowsDone", rowsDone}, {"rowsTotal", rowsTotal}});
  std::int64_t& rows = rows_[table];
  rows = std::max(rows, rowsDone);
  overall_.Rows(table, rowsDone, rowsTotal);
  bar_.SetPercent(overall_.Percent());
  bar_.Rows(table, rowsDone, rowsTotal);
}

std::optional<Answer> Answer::Parse(const std::string& text) {
  const std::string word = LowerCase(text);
  if (word == "yes") return Answer{Kind::kAffirmative};
  if (word == "no") return Answer{Kind::kNegative};
  Answer answer;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), answer.number);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return answer;
}

std::int32_t Answer::For(std::int32_t buttons) const {
  // The buttons of each style, affirmative first: OK; OK, Cancel; Abort, Retry, Ignore; Yes, No, Cancel;
  // Yes, No; Retry, Cancel.
  constexpr std::int32_t kAbort = 3, kRetry = 4;
  struct Pair {
    std::int32_t affirmative, negative;
  };
  static constexpr Pair kButtons[] = {{kAnswerOk, kAnswerOk},  {kAnswerOk, kAnswerCancel},
                                      {kRetry, kAbort},        {kAnswerYes, kAnswerNo},
                                      {kAnswerYes, kAnswerNo}, {kRetry, kAnswerCancel}};
  if (kind == Kind::kNumber) return number;
  const std::size_t style = static_cast<std::size_t>(buttons & 0xF);
  const Pair pair = style < std::size(kButtons) ? kButtons[style] : kButtons[0];
  return kind == Kind::kAffirmative ? pair.affirmative : pair.negative;
}

void Host::ShowMessage(const std::string& prompt, std::int32_t buttons, const std::string& messageGuid,
                       std::int32_t& result) {
  Heard();
  auto answer = options_.answers.find(UpperCase(messageGuid));
  const bool asked = (buttons & 0xF) != 0;
  if (answer != options_.answers.end()) {
    result = answer->second.For(buttons);
  } else if (options_.answerAll) {
    result = options_.answerAll->For(buttons);
  } else if (Interactive()) {
    bar_.Clear();
    std::cerr << PrintableLines(prompt) << "\n";
    int style = buttons & 0xF;
    const char* choices = style == 4 ? "[y]es / [n]o" : style == 1 ? "[o]k / [c]ancel" : "[o]k";
    std::cerr << choices << "? " << std::flush;
    std::string line;
    std::getline(std::cin, line);
    char c = line.empty() ? 'o' : static_cast<char>(std::tolower(static_cast<unsigned char>(line[0])));
    if (style == 4)
      result = c == 'y' ? kAnswerYes : kAnswerNo;
    else if (style == 1)
      result = c == 'c' ? kAnswerCancel : kAnswerOk;
    else
      result = kAnswerOk;
  }
  if (options_.jsonEvents)
    Emit({{"event", "ShowMessage"},
          {"prompt", prompt},
          {"buttons", buttons},
          {"guid", messageGuid},
          {"result", result}});
  else if (!Interactive() && !options_.quiet && !asked) {
    pendingNotice_ = prompt;  // shown at the next event, or instead of the closing line
  }
  if (!Interactive() && asked && answer == options_.answers.end() && !options_.answerAll) {
    // A question nobody could answer: which, what it stayed at, and how to answer it next time.
    bar_.Clear();
    if (!options_.jsonEvents) std::cerr << PrintableLines(prompt) << "\n";
    std::cerr << wording_.Text(62, {AnswerName(result), Printable(messageGuid)}) << "\n";
  }
}

void Host::DatabaseCorruptionFound() {
  Heard();
  if (options_.jsonEvents)
    Emit({{"event", "DatabaseCorruptionFound"}});
  else if (!options_.quiet) {
    bar_.Clear();
    std::cerr << wording_.Text(25) << "\n";
  }
}

void Host::RequestAdditionalFiles(std::optional<std::vector<std::string>>& files, const std::string& tempPath,
                                  const TableList&) {
  Heard();
  if (!options_.additionalFiles.empty()) files = options_.additionalFiles;
  if (options_.jsonEvents)
    Emit({{"event", "RequestAdditionalFiles"}, {"tempPath", tempPath}, {"files", options_.additionalFiles}});
}

void Host::RestoreAdditionalFiles(const std::string& sourcePath, const std::string& previousTempPath,
                                  const std::string& connectionString) {
  Heard();
  if (options_.jsonEvents)
    Emit({{"event", "RestoreAdditionalFiles"},
          {"sourcePath", sourcePath},
          {"previousTempPath", previousTempPath},
          {"connectionString", WithoutPasswords(connectionString)}});
}

void Host::SelectFolder(const std::string& caption, std::string& folder) {
  Heard();
  if (options_.selectFolder) {
    folder = *options_.selectFolder;
  } else if (Interactive()) {
    bar_.Clear();
    std::cerr << Printable(caption) << ": " << std::flush;
    std::getline(std::cin, folder);
  }
  if (options_.jsonEvents) Emit({{"event", "SelectFolder"}, {"caption", caption}, {"folder", folder}});
}

std::string Host::OutcomeLine(const Subject& subject) const {
  const std::string file = Printable(subject.backupFile);
  const std::string database =
      subject.server.empty() ? wording_.Text(7, {Printable(subject.database)})
                             : wording_.Text(8, {Printable(subject.database), Printable(subject.server)});
  const OperationOutcome outcome = backup_.LastOutcome();

  if (outcome.kind == Outcome::kDone) {
    const double seconds = std::chrono::duration<double>(Clock::now() - started_).count();
    std::int64_t rows = 0;
    for (const auto& [table, count] : rows_) rows += count;
    const std::string tables =
        wording_.Counted(static_cast<std::int64_t>(rows_.size()), 3, 4) + ", " + wording_.Counted(rows, 5, 6);
    std::string what = rows_.empty() ? (subject.save ? database : file) : tables;
    std::string into = subject.save ? file : database;
    const std::string sized = subject.save ? subject.backupFile : subject.databaseFile;
    if (std::optional<std::uintmax_t> size = sized.empty() ? std::nullopt : FileSize(sized))
      into += " (" + wording_.Size(*size) + ")";
    return wording_.Text(subject.save ? 1 : 2, {what, into, wording_.Duration(seconds)});
  }

  // What an operation that returned False left alone.
  const std::string kept = subject.save ? (subject.existed ? wording_.Text(9, {file}) : wording_.Text(10))
                           : subject.databaseFile.empty() || subject.existed ? wording_.Text(11, {database})
                                                                             : wording_.Text(12);
  const bool cancelled = outcome.kind == Outcome::kCancelled;
  if (subject.save) {
    if (outcome.reason == OutcomeReason::kServerNotLocal) return wording_.Text(13, {kept});
    if (cancelled) return wording_.Text(14, {kept});
    return wording_.Text(15, {database, kept});
  }
  switch (outcome.reason) {
    case OutcomeReason::kNotBackupFile:
      return wording_.Text(30, {file, kept});
    case OutcomeReason::kOlderLayoutUnpacked:
      return wording_.Text(16, {file, kept});
    case OutcomeReason::kOlderLayout:
      return wording_.Text(17, {file, kept});
    case OutcomeReason::kOtherEngine:
      return wording_.Text(18, {file, kept});
    case OutcomeReason::kTargetDatabase:
      return wording_.Text(19, {kept});
    case OutcomeReason::kServerNotLocal:
      return wording_.Text(20, {kept});
    case OutcomeReason::kUnreadableDocument:
      return wording_.Text(23, {file, kept});
    case OutcomeReason::kNone:
      break;
  }
  return wording_.Text(cancelled ? 22 : 24, {kept});
}

void Host::Finish(const Subject& subject) {
  bar_.Clear();
  // A file that is no backup at all: the closing line says so and what was kept, the component's notice
  // would only say it again.
  if (backup_.LastOutcome().reason == OutcomeReason::kNotBackupFile) pendingNotice_.clear();
  ShowNotice();
  if (!options_.quiet) std::cerr << OutcomeLine(subject) << "\n" << std::flush;
}

}  // namespace vela::cli
