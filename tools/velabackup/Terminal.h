// What the command-line host writes for a person and how: text made safe for a terminal, numbers, sizes
// and durations in the catalogue's language, the progress bar on standard error, and Ctrl-C.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velabackup/CBackup.h"

namespace vela::cli {

// A text for the terminal. Names read from a backup file (members, tables, columns) and the messages
// that quote them may hold anything: control characters (C0, DEL, C1, and with them every escape
// sequence, which starts with one) and bytes that are no UTF-8 are shown as \\xNN, so that a name cannot
// clear the screen, move the cursor or retitle the window. Everything else passes unchanged.
std::string Printable(std::string_view text);
// A message of several lines: each line made printable, the line breaks kept.
std::string PrintableLines(std::string_view text);

// 1,000,250: a number with `separator` between groups of three digits.
std::string GroupedNumber(std::int64_t number, std::string_view separator = ",");
// A size in binary units, as the host shows sizes: "912 B", "24.7 MiB" (with `decimal` for the point).
std::string HumanSize(std::uintmax_t bytes, std::string_view decimal = ".");

// Ctrl-C: the first cancels the running operation at its next event (the host asks Interrupted), the second
// ends the process at once.
void CatchInterrupts();
bool Interrupted();
// What the second Ctrl-C does before it ends the process; it runs inside the signal handler, so it may
// only make the calls that are safe there.
void SetInterruptCleanup(void (*cleanup)());

// Questions can be asked: standard input and standard error are a terminal.
bool Interactive();

// The host's own texts in the catalogue of a CBackup object (HostText), and the numbers, counts, durations
// and sizes in them, written as that language writes them.
class Wording {
 public:
  explicit Wording(const CBackup& backup) : backup_(backup) {}

  std::string Text(std::int32_t number, const std::vector<std::string>& arguments = {}) const;
  std::string Grouped(std::int64_t number) const;
  // "1 row", "1,234 rows": text `one` or `many` with the number grouped.
  std::string Counted(std::int64_t number, std::int32_t one, std::int32_t many) const;
  // 3.1 s, 2 min 5 s, 1 h 4 min
  std::string Duration(double seconds) const;
  std::string Size(std::uintmax_t bytes) const;

 private:
  const CBackup& backup_;
};

// The progress bar: one line on standard error, redrawn in place at most ten times a second, drawn only
// on a terminal and never when quiet. It fits the terminal's width (else COLUMNS, else 80 columns), losing
// whole words at its end rather than part of a number. While the rows of a table are under way it shows them,
// their rate and the time left:
// [#####...............] 25% Saving the data of Measurements  51,200/200,000 rows  48,310 rows/s  ETA 3.1 s
class ProgressBar {
 public:
  ProgressBar(const Wording& wording, bool quiet);

  // An UpdateProgress: the percentage and the step's caption. A new step ends the rows of the table before
  // it.
  void Progress(std::int32_t value, const std::string& caption);
  // The percentage shown, between steps.
  void SetPercent(std::int32_t value) { value_ = value; }
  // A TableProgress: the rows of a table so far.
  void Rows(const std::string& table, std::int64_t done, std::int64_t total);
  // Takes the bar off its line, before anything else is written to standard error.
  void Clear();

 private:
  using Clock = std::chrono::steady_clock;

  void Draw();

  const Wording& wording_;
  const bool enabled_;  // standard error is a terminal, and the host is not quiet
  bool shown_ = false;
  std::optional<Clock::time_point> drawn_;
  std::int32_t value_ = 0;
  std::string caption_;  // of the last UpdateProgress

  // The table whose rows are under way.
  struct TableRun {
    std::string name;
    std::int64_t done = 0, total = 0;
    Clock::time_point began;
    bool active = false;
  } table_;
};

}  // namespace vela::cli
