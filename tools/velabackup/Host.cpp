#include "Host.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <optional>

#include "Language.h"
#include "velabackup/data/Connection.h"

namespace vela::cli {

namespace {

// The code point of the UTF-8 sequence at `i`, stepping `i` past it; nothing (and a step of one byte)
// when the bytes there are no well-formed UTF-8 (overlong forms and surrogates included).
std::optional<char32_t> NextCodePoint(std::string_view text, std::size_t& i) {
  const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
  const unsigned char lead = byte(i);
  std::size_t length = lead < 0x80             ? 1
                       : (lead & 0xE0) == 0xC0 ? 2
                       : (lead & 0xF0) == 0xE0 ? 3
                       : (lead & 0xF8) == 0xF0 ? 4
                                               : 0;
  if (length == 0 || i + length > text.size()) {
    ++i;
    return std::nullopt;
  }
  char32_t code = length == 1 ? lead : lead & (0x7F >> length);
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) {
      ++i;
      return std::nullopt;
    }
    code = (code << 6) | (byte(i + k) & 0x3F);
  }
  static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
    ++i;
    return std::nullopt;
  }
  i += length;
  return code;
}

// C0 controls, DEL and C1 controls: what a terminal may act on rather than show.
bool IsControl(char32_t code) {
  return code < 0x20 || (code >= 0x7F && code <= 0x9F);
}

}  // namespace

std::string Printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t start = i;
    std::optional<char32_t> code = NextCodePoint(text, i);
    if (code && !IsControl(*code)) {
      out.append(text, start, i - start);
      continue;
    }
    for (std::size_t k = start; k < i; ++k) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(text[k]));
      out += escaped;
    }
  }
  return out;
}

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

// The GUIDs of the questions and notices that explain an operation that did nothing.
constexpr const char* kRemoteDirectCopyGuid = "{66685F35-E98D-45C9-A75D-41E896550869}";
constexpr const char* kOlderLayoutFileGuid = "{D2A2FC11-C46A-42CC-AEE5-676E204F0A26}";
constexpr const char* kOlderLayoutServerGuid = "{77419F9D-F177-4746-A547-E4BB58B93EB7}";
constexpr const char* kOlderLayoutUnpackedGuid = "{6DE29447-57F8-460B-8197-FED9E5B32AF8}";
constexpr const char* kNotBackupGuid = "{D50F8787-7A7E-4039-8AB0-410D19AC100C}";
constexpr const char* kOtherEngineGuid = "{8BC958C2-ECAB-4A9B-9E75-23350D555F20}";
constexpr const char* kTargetDatabaseGuid = "{7A29569B-FE02-40CC-8553-E0A147D6B861}";
constexpr const char* kServerRestoreFailedGuid = "{56685F35-E98D-45C9-A75D-41E896550869}";

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

volatile std::sig_atomic_t interrupted = 0;

extern "C" void OnInterrupt(int) {
  if (interrupted) ::_exit(130);
  interrupted = 1;
}

// A message of several lines for the terminal: each line made printable, the line breaks kept.
std::string PrintableLines(std::string_view text) {
  std::string out;
  for (std::size_t start = 0;;) {
    const std::size_t end = text.find('\n', start);
    out += Printable(text.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) return out;
    out += '\n';
    start = end + 1;
  }
}

// One event line of --events jsonl. Everything past ASCII goes escaped, so a line is as safe on a
// terminal as the text the terminal shows (Printable); bytes that are no UTF-8 become U+FFFD.
void Emit(const nlohmann::ordered_json& line) {
  std::cout << line.dump(-1, ' ', true, nlohmann::ordered_json::error_handler_t::replace) << std::endl;
}

// 24.7 (with `decimal` for the point)
std::string Fixed(double number, std::string_view decimal) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", number);
  std::string fixed = text;
  if (const std::size_t point = fixed.find('.'); point != std::string::npos) fixed.replace(point, 1, decimal);
  return fixed;
}

}  // namespace

std::string GroupedNumber(std::int64_t number, std::string_view separator) {
  const std::string digits = std::to_string(number);
  const std::size_t sign = number < 0 ? 1 : 0;
  std::string grouped = digits.substr(0, sign);
  for (std::size_t i = sign; i < digits.size(); ++i) {
    if (i > sign && (digits.size() - i) % 3 == 0) grouped += separator;
    grouped += digits[i];
  }
  return grouped;
}

std::string HumanSize(std::uintmax_t bytes, std::string_view decimal) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  const char* units[] = {"KiB", "MiB", "GiB", "TiB"};
  double size = static_cast<double>(bytes) / 1024;
  std::size_t unit = 0;
  for (; size >= 1024 && unit + 1 < std::size(units); ++unit) size /= 1024;
  return Fixed(size, decimal) + " " + units[unit];
}

namespace {

// The size of a file, when there is one.
std::optional<std::uintmax_t> FileSize(const std::string& path) {
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(path, error);
  if (error) return std::nullopt;
  return size;
}

// A caption without the " (done/total)" the component appends to it for the rows of a table.
std::string WithoutRowCount(const std::string& caption) {
  if (caption.empty() || caption.back() != ')') return caption;
  const std::size_t open = caption.rfind(" (");
  if (open == std::string::npos) return caption;
  const std::string inside = caption.substr(open + 2, caption.size() - open - 3);
  const bool count = !inside.empty() && inside.find_first_not_of("0123456789/") == std::string::npos &&
                     inside.find('/') != std::string::npos;
  return count ? caption.substr(0, open) : caption;
}

// The columns of the terminal on standard error.
std::size_t TerminalWidth() {
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

// At most `columns` characters of a UTF-8 text, cut at a character's start.
std::string FitTo(const std::string& text, std::size_t columns) {
  std::size_t characters = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
    if (characters++ == columns) return text.substr(0, i);
  }
  return text;
}

}  // namespace

std::string Host::Text(std::int32_t number, const std::vector<std::string>& arguments) const {
  return HostText(backup_.GetLanguageResources().get(), number, arguments);
}

std::string Host::Grouped(std::int64_t number) const {
  return GroupedNumber(number, Text(28));
}

std::string Host::Counted(std::int64_t number, std::int32_t one, std::int32_t many) const {
  return Text(number == 1 ? one : many, {Grouped(number)});
}

// 3.1 s, 2 min 5 s
std::string Host::Duration(double seconds) const {
  if (seconds < 60) return Fixed(seconds, Text(29)) + " s";
  const auto whole = static_cast<std::int64_t>(seconds + 0.5);
  if (whole < 3600) return std::to_string(whole / 60) + " min " + std::to_string(whole % 60) + " s";
  return std::to_string(whole / 3600) + " h " + std::to_string(whole % 3600 / 60) + " min";
}

void CatchInterrupts() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &action, nullptr);
}

Host::Host(CBackup& backup, HostOptions options)
    : backup_(backup), options_(std::move(options)), terminal_(::isatty(STDERR_FILENO) != 0) {
  backup_.SetEvents(this);
}

Host::~Host() {
  ClearBar();
  backup_.SetEvents(nullptr);
}

bool Host::Interactive() const {
  return ::isatty(STDIN_FILENO) != 0 && ::isatty(STDERR_FILENO) != 0;
}

void Host::Heard() {
  if (interrupted && !cancelled_) {
    cancelled_ = true;
    backup_.Cancel();
  }
}

void Host::ClearBar() {
  if (!barShown_) return;
  std::cerr << "\r\033[K" << std::flush;
  barShown_ = false;
}

// [#####...............] 25% Saving the data of Measurements  51,200/200,000 rows  48,310 rows/s  ETA 3.1 s
void Host::DrawBar(bool force) {
  if (options_.quiet || !terminal_) return;
  const Clock::time_point now = Clock::now();
  if (!force && drawn_ && now - *drawn_ < kRedrawInterval) return;
  drawn_ = now;

  std::string bar(static_cast<std::size_t>(std::clamp(value_, 0, 100) / 5), '#');
  bar.resize(20, '.');
  std::string line = "[" + bar + "] " + std::to_string(value_) + "% ";
  if (table_.active) {
    std::string step = WithoutRowCount(caption_);
    line += Printable(step);
    if (step.find(table_.name) == std::string::npos) line += " " + Printable(table_.name);
    line += "  " + Grouped(table_.done) + "/" + Counted(table_.total, 5, 6);
    const double seconds = std::chrono::duration<double>(now - table_.began).count();
    if (table_.done > 0 && seconds >= 0.2) {
      const double rate = static_cast<double>(table_.done) / seconds;
      line += "  " + Text(26, {Grouped(static_cast<std::int64_t>(rate))});
      line += "  " + Text(27, {Duration(static_cast<double>(table_.total - table_.done) / rate)});
    }
  } else {
    line += Printable(caption_);
  }
  std::cerr << "\r\033[K" << FitTo(line, TerminalWidth() - 1) << std::flush;
  barShown_ = true;
}

void Host::UpdateProgress(std::int32_t value, const std::string& caption) {
  Heard();
  ++progressEvents_;
  if (options_.jsonEvents) Emit({{"event", "UpdateProgress"}, {"value", value}, {"caption", caption}});
  const bool stepChanged = WithoutRowCount(caption) != WithoutRowCount(caption_);
  value_ = value;
  caption_ = caption;
  if (std::shared_ptr<LanguageResources> texts = backup_.GetLanguageResources())
    serverRestoreBegan_ |= caption == texts->GetString(37, "Backup");
  // A new step ends the rows of the table before it.
  if (stepChanged && table_.done >= table_.total) table_.active = false;
  DrawBar(false);
  if (options_.cancelAfter > 0 && progressEvents_ == options_.cancelAfter && !cancelled_) {
    cancelled_ = true;
    backup_.Cancel();
  }
}

void Host::TableProgress(const std::string& table, std::int64_t rowsDone, std::int64_t rowsTotal) {
  Heard();
  if (options_.jsonEvents)
    Emit({{"event", "TableProgress"}, {"table", table}, {"rowsDone", rowsDone}, {"rowsTotal", rowsTotal}});
  if (!table_.active || table_.name != table || rowsDone < table_.done) {
    table_.name = table;
    table_.began = Clock::now();
  }
  table_.done = rowsDone;
  table_.total = rowsTotal;
  table_.active = rowsDone < rowsTotal;
  std::int64_t& rows = rows_[table];
  rows = std::max(rows, rowsDone);
  DrawBar(false);
}

void Host::ShowMessage(const std::string& prompt, std::int32_t buttons, const std::string& messageGuid,
                       std::int32_t& result) {
  Heard();
  auto answer = options_.answers.find(UpperCase(messageGuid));
  if (answer != options_.answers.end()) {
    result = answer->second;
  } else if (options_.answerAll) {
    result = *options_.answerAll;
  } else if (Interactive()) {
    ClearBar();
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
  heard_[UpperCase(messageGuid)] = result;
  if (options_.jsonEvents)
    Emit({{"event", "ShowMessage"},
          {"prompt", prompt},
          {"buttons", buttons},
          {"guid", messageGuid},
          {"result", result}});
  else if (!Interactive() && !options_.quiet && (buttons & 0xF) == 0) {
    ClearBar();
    std::cerr << PrintableLines(prompt) << "\n";
  }
}

void Host::DatabaseCorruptionFound() {
  Heard();
  if (options_.jsonEvents)
    Emit({{"event", "DatabaseCorruptionFound"}});
  else if (!options_.quiet) {
    ClearBar();
    std::cerr << Text(25) << "\n";
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
    ClearBar();
    std::cerr << Printable(caption) << ": " << std::flush;
    std::getline(std::cin, folder);
  }
  if (options_.jsonEvents) Emit({{"event", "SelectFolder"}, {"caption", caption}, {"folder", folder}});
}

bool Host::Saw(const char* guid) const {
  return heard_.count(guid) > 0;
}

std::string Host::OutcomeLine(bool result, const Subject& subject) const {
  const std::string file = Printable(subject.backupFile);
  const std::string database = subject.server.empty()
                                   ? Text(7, {Printable(subject.database)})
                                   : Text(8, {Printable(subject.database), Printable(subject.server)});
  const double seconds = std::chrono::duration<double>(Clock::now() - started_).count();
  std::int64_t rows = 0;
  for (const auto& [table, count] : rows_) rows += count;
  const std::string tables =
      Counted(static_cast<std::int64_t>(rows_.size()), 3, 4) + ", " + Counted(rows, 5, 6);

  if (result) {
    std::string what = rows_.empty() ? (subject.save ? database : file) : tables;
    std::string into = subject.save ? file : database;
    const std::string sized = subject.save ? subject.backupFile : subject.databaseFile;
    if (std::optional<std::uintmax_t> size = sized.empty() ? std::nullopt : FileSize(sized))
      into += " (" + HumanSize(*size, Text(29)) + ")";
    return Text(subject.save ? 1 : 2, {what, into, Duration(seconds)});
  }

  // What an operation that returned False left alone.
  const std::string kept = subject.save ? (subject.existed ? Text(9, {file}) : Text(10))
                           : subject.databaseFile.empty() || subject.existed ? Text(11, {database})
                                                                             : Text(12);
  std::shared_ptr<LanguageResources> texts = backup_.GetLanguageResources();
  const bool cancelled = cancelled_ || (texts && !caption_.empty() &&
                                        caption_ == texts->GetString(subject.save ? 15 : 6, "Backup"));
  if (subject.save) {
    if (Saw(kRemoteDirectCopyGuid) && heard_.at(kRemoteDirectCopyGuid) != kAnswerYes) return Text(13, {kept});
    if (cancelled) return Text(14, {kept});
    return Text(15, {database, kept});
  }
  if (Saw(kNotBackupGuid)) return Text(30, {file, kept});
  if (Saw(kOlderLayoutFileGuid) || Saw(kOlderLayoutServerGuid))
    return Text(Saw(kOlderLayoutUnpackedGuid) ? 16 : 17, {file, kept});
  if (Saw(kOtherEngineGuid)) return Text(18, {file, kept});
  if (Saw(kTargetDatabaseGuid)) return Text(19, {kept});
  // The notice of a failed server restore also comes, before the server's restore begins, for a server
  // that is not on this computer.
  if (Saw(kServerRestoreFailedGuid)) return Text(serverRestoreBegan_ ? 21 : 20, {kept});
  if (cancelled) return Text(22, {kept});
  if (texts && caption_ == texts->GetString(8, "Backup")) return Text(23, {file, kept});
  return Text(24, {kept});
}

void Host::Finish(bool result, const Subject& subject) {
  ClearBar();
  if (!options_.quiet) std::cerr << OutcomeLine(result, subject) << "\n" << std::flush;
}

}  // namespace vela::cli
