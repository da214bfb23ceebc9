#include "Host.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iostream>

#include "velabackup/data/Connection.h"

namespace vela::cli {

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
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
    std::string shown = caption.size() > 50 ? caption.substr(0, 47) + "..." : caption;
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
    std::cerr << prompt << "\n";
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
    std::cerr << prompt << "\n";
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
    std::cerr << caption << ": " << std::flush;
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
