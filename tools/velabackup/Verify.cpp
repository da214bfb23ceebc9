// velabackup verify: checks a backup file without a database and lists the first problems found.
#include <unistd.h>

#include <iostream>

#include "Commands.h"
#include "Login.h"
#include "Terminal.h"
#include "velabackup/BackupInfo.h"

namespace vela::cli {

namespace {
constexpr std::size_t kProblemLines = 20;
}

int RunVerify(const VerifyOptions& options) {
  const bool bar = !options.quiet && ::isatty(STDERR_FILENO) != 0;
  int shown = -1;
  VerifyReport report = VerifyBackup(
      options.file,
      [&](const std::string& item, int percent) {
        if (!bar || percent == shown) return;
        shown = percent;
        std::cerr << "\rVerifying " << percent << " % " << Printable(item).substr(0, 50) << "\x1b[K"
                  << std::flush;
      },
      options.noData, ArchivePassword(options.archivePasswordFile, options.file, {}, true),
      options.passwordFile.empty() ? std::string()
                                   : ReadPasswordFile(options.passwordFile, "--password-file"));
  if (bar) std::cerr << "\r\x1b[K" << std::flush;
  auto print_notes = [&] {
    for (const std::string& note : report.notes) std::cout << "  note: " << Printable(note) << "\n";
    if (report.copyPagesUnchecked)
      std::cout
          << "Give the database's password with --password-file to have the pages of the copy checked.\n";
  };

  if (report.Sound()) {
    std::cout << "The backup file is sound: " << report.membersChecked << " members, " << report.tablesChecked
              << " tables, " << GroupedNumber(static_cast<std::int64_t>(report.rowsChecked))
              << " rows checked.\n";
    print_notes();
    return 0;
  }
  if (report.layout == BackupLayout::kOlder)
    std::cout << "The backup file is of an older layout; only the current layout can be verified.\n";
  else
    std::cout << "The backup file is damaged: " << report.problemCount << " problem"
              << (report.problemCount == 1 ? "" : "s") << " found.\n";
  std::size_t lines = 0;
  for (const VerifyProblem& problem : report.problems) {
    if (lines++ == kProblemLines) break;
    std::cout << "  ";
    if (!problem.table.empty()) {
      std::cout << "table " << Printable(problem.table);
      if (problem.row != 0) std::cout << ", row " << problem.row;
      std::cout << ": ";
    } else if (!problem.member.empty()) {
      std::cout << "member " << Printable(problem.member) << ": ";
    }
    std::cout << Printable(problem.text) << "\n";
  }
  if (report.problemCount > kProblemLines)
    std::cout << "  ... " << report.problemCount - kProblemLines << " more\n";
  print_notes();
  for (const VerifyProblem& problem : report.problems)
    if (problem.dataFileMissing) {
      std::cout << "In a backup made before tables saved without rows were marked, such a table has no data "
                   "file either: name it with --no-data to accept that.\n";
      break;
    }
  return 2;
}

}  // namespace vela::cli
