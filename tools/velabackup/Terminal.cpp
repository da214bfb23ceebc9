#include "Terminal.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "Language.h"

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

// 24.7 (with `decimal` for the point)
std::string Fixed(double number, std::string_view decimal) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", number);
  std::string fixed = text;
  if (const std::size_t point = fixed.find('.'); point != std::string::npos) fixed.replace(point, 1, decimal);
  return fixed;
}

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

volatile std::sig_atomic_t interrupted = 0;
void (*volatile interruptCleanup)() = nullptr;

extern "C" void OnInterrupt(int) {
  if (interrupted) {
    if (interruptCleanup != nullptr) interruptCleanup();
    ::_exit(130);
  }
  interrupted = 1;
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
  if (const char* columns = std::getenv("COLUMNS")) {
    const long width = std::strtol(columns, nullptr, 10);
    if (width > 0 && width < 10000) return static_cast<std::size_t>(width);
  }
  return 80;
}

// At most `columns` characters of a UTF-8 text: a longer one loses whole words at its end (a number or a
// name is never shown in part), and a single word too long for the line is cut at a character's start.
std::string FitTo(const std::string& text, std::size_t columns) {
  std::size_t characters = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
    if (characters++ < columns) continue;
    std::size_t blank = text.find_last_of(' ', i);
    while (blank != std::string::npos && blank > 0 && text[blank - 1] == ' ') --blank;
    return blank == std::string::npos || blank == 0 ? text.substr(0, i) : text.substr(0, blank);
  }
  return text;
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

void CatchInterrupts() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &action, nullptr);
}

void SetInterruptCleanup(void (*cleanup)()) {
  interruptCleanup = cleanup;
}

bool Interrupted() {
  return interrupted != 0;
}

bool Interactive() {
  return ::isatty(STDIN_FILENO) != 0 && ::isatty(STDERR_FILENO) != 0;
}

std::string Wording::Text(std::int32_t number, const std::vector<std::string>& arguments) const {
  return HostText(backup_.GetLanguageResources().get(), number, arguments);
}

std::string Wording::Grouped(std::int64_t number) const {
  return GroupedNumber(number, Text(28));
}

std::string Wording::Counted(std::int64_t number, std::int32_t one, std::int32_t many) const {
  return Text(number == 1 ? one : many, {Grouped(number)});
}

std::string Wording::Duration(double seconds) const {
  if (seconds < 60) return Fixed(seconds, Text(29)) + " s";
  const auto whole = static_cast<std::int64_t>(seconds + 0.5);
  if (whole < 3600) return std::to_string(whole / 60) + " min " + std::to_string(whole % 60) + " s";
  return std::to_string(whole / 3600) + " h " + std::to_string(whole % 3600 / 60) + " min";
}

std::string Wording::Size(std::uintmax_t bytes) const {
  return HumanSize(bytes, Text(29));
}

ProgressBar::ProgressBar(const Wording& wording, bool quiet)
    : wording_(wording), enabled_(!quiet && ::isatty(STDERR_FILENO) != 0) {}

void ProgressBar::Progress(std::int32_t value, const std::string& caption) {
  const bool stepChanged = WithoutRowCount(caption) != WithoutRowCount(caption_);
  value_ = value;
  caption_ = caption;
  if (stepChanged && table_.done >= table_.total) table_.active = false;
  Draw();
}

void ProgressBar::Rows(const std::string& table, std::int64_t done, std::int64_t total) {
  if (!table_.active || table_.name != table || done < table_.done) {
    table_.name = table;
    table_.began = Clock::now();
  }
  table_.done = done;
  table_.total = total;
  table_.active = done < total;
  Draw();
}

void ProgressBar::Clear() {
  if (!shown_) return;
  std::cerr << "\r\033[K" << std::flush;
  shown_ = false;
}

void ProgressBar::Draw() {
  if (!enabled_) return;
  const Clock::time_point now = Clock::now();
  if (drawn_ && now - *drawn_ < kRedrawInterval) return;
  drawn_ = now;

  std::string bar(static_cast<std::size_t>(std::clamp(value_, 0, 100) / 5), '#');
  bar.resize(20, '.');
  std::string line = "[" + bar + "] " + std::to_string(value_) + "% ";
  if (table_.active) {
    std::string step = WithoutRowCount(caption_);
    line += Printable(step);
    if (step.find(table_.name) == std::string::npos) line += " " + Printable(table_.name);
    line += "  " + wording_.Grouped(table_.done) + "/" + wording_.Counted(table_.total, 5, 6);
    const double seconds = std::chrono::duration<double>(now - table_.began).count();
    if (table_.done > 0 && seconds >= 0.2) {
      const double rate = static_cast<double>(table_.done) / seconds;
      line += "  " + wording_.Text(26, {wording_.Grouped(static_cast<std::int64_t>(rate))});
      line += "  " +
              wording_.Text(27, {wording_.Duration(static_cast<double>(table_.total - table_.done) / rate)});
    }
  } else {
    line += Printable(caption_);
  }
  std::cerr << "\r\033[K" << FitTo(line, TerminalWidth() - 1) << std::flush;
  shown_ = true;
}

}  // namespace vela::cli
