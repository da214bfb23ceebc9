#include "Host.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iostream>
#include <optional>

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

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t start = i;
    std::optional<char32_t> code = NextCodePoint(text, i);
    if (!code) {
      out += "\\ufffd";  // JSON texts are UTF-8: a stray byte becomes the replacement character
    } else if (*code == '"') {
      out += "\\\"";
    } else if (*code == '\\') {
      out += "\\\\";
    } else if (*code == '\n') {
      out += "\\n";
    } else if (*code == '\r') {
      out += "\\r";
    } else if (*code == '\t') {
      out += "\\t";
    } else if (IsControl(*code)) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(*code));
      out += escaped;
    } else {
      out.append(text, start, i - start);
    }
  }
  return out + "\"";
}

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

std::string UpperCase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
  return text;
}

std::string Trimmed(const std::string& text) {
  const char* blanks = " \t\r\n";
  std::size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

std::string WithoutPasswords(const std::string& connectionString) {
  return data::RemovePasswords(connectionString);
}

Host::Host(CBackup& backup, HostOptions options)
    : backup_(backup), options_(std::move(options)), terminal_(::isatty(STDERR_FILENO) != 0) {
  backup_.SetEvents(this);
}

Host::~Host() {
  backup_.SetEvents(nullptr);
}

bool Host::Interactive() const {
  return ::isatty(STDIN_FILENO) != 0 && ::isatty(STDERR_FILENO) != 0;
}

void Host::ClearBar() {
  if (!barShown_) return;
  std::cerr << "\r\033[K" << std::flush;
  barShown_ = false;
}

void Host::UpdateProgress(std::int32_t value, const std::string& caption) {
  ++progressEvents_;
  if (options_.jsonEvents)
    std::cout << "{\"event\":\"UpdateProgress\",\"value\":" << value << ",\"caption\":" << JsonString(caption)
              << "}" << std::endl;
  if (!options_.quiet && terminal_) {
    int filled = std::clamp(value, 0, 100) / 5;
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.resize(20, '.');
    std::string shown = Printable(caption);
    if (shown.size() > 50) {
      std::size_t cut = 47;
      while (cut > 0 && (static_cast<unsigned char>(shown[cut]) & 0xC0) == 0x80) --cut;  // whole characters
      shown = shown.substr(0, cut) + "...";
    }
    std::cerr << "\r\033[K[" << bar << "] " << value << "% " << shown << std::flush;
    barShown_ = true;
  }
  if (options_.cancelAfter > 0 && progressEvents_ == options_.cancelAfter) backup_.Cancel();
}

void Host::ShowMessage(const std::string& prompt, std::int32_t buttons, const std::string& messageGuid,
                       std::int32_t& result) {
  auto answer = options_.answers.find(UpperCase(messageGuid));
  if (answer != options_.answers.end()) {
    result = answer->second;
  } else if (options_.answerAll) {
    result = *options_.answerAll;
  } else if (Interactive()) {
    ClearBar();
    std::cerr << Printable(prompt) << "\n";
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
    std::cout << "{\"event\":\"ShowMessage\",\"prompt\":" << JsonString(prompt) << ",\"buttons\":" << buttons
              << ",\"guid\":" << JsonString(messageGuid) << ",\"result\":" << result << "}" << std::endl;
  else if (!Interactive() && !options_.quiet && (buttons & 0xF) == 0) {
    ClearBar();
    std::cerr << Printable(prompt) << "\n";
  }
}

void Host::DatabaseCorruptionFound() {
  if (options_.jsonEvents)
    std::cout << "{\"event\":\"DatabaseCorruptionFound\"}" << std::endl;
  else if (!options_.quiet) {
    ClearBar();
    std::cerr << "Rows that look corrupted were found.\n";
  }
}

void Host::RequestAdditionalFiles(std::optional<std::vector<std::string>>& files, const std::string& tempPath,
                                  const TableList&) {
  if (!options_.additionalFiles.empty()) files = options_.additionalFiles;
  if (options_.jsonEvents) {
    std::cout << "{\"event\":\"RequestAdditionalFiles\",\"tempPath\":" << JsonString(tempPath)
              << ",\"files\":[";
    for (std::size_t i = 0; i < options_.additionalFiles.size(); ++i)
      std::cout << (i ? "," : "") << JsonString(options_.additionalFiles[i]);
    std::cout << "]}" << std::endl;
  }
}

void Host::RestoreAdditionalFiles(const std::string& sourcePath, const std::string& previousTempPath,
                                  const std::string& connectionString) {
  if (options_.jsonEvents)
    std::cout << "{\"event\":\"RestoreAdditionalFiles\",\"sourcePath\":" << JsonString(sourcePath)
              << ",\"previousTempPath\":" << JsonString(previousTempPath)
              << ",\"connectionString\":" << JsonString(WithoutPasswords(connectionString)) << "}"
              << std::endl;
}

void Host::SelectFolder(const std::string& caption, std::string& folder) {
  if (options_.selectFolder) {
    folder = *options_.selectFolder;
  } else if (Interactive()) {
    ClearBar();
    std::cerr << Printable(caption) << ": " << std::flush;
    std::getline(std::cin, folder);
  }
  if (options_.jsonEvents)
    std::cout << "{\"event\":\"SelectFolder\",\"caption\":" << JsonString(caption)
              << ",\"folder\":" << JsonString(folder) << "}" << std::endl;
}

void Host::Finish() {
  ClearBar();
}

}  // namespace vela::cli
