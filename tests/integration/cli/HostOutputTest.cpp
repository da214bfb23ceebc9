// What the command-line host tells a person: the line that ends a save or restore (what it did, or why it
// did nothing and what it left alone), the TableProgress event lines, and on a terminal the progress bar
// and Ctrl-C. The terminal cases run the host on a pseudo-terminal.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>

#include <unistd.h>

#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "support/Archives.h"
#include "support/HostRun.h"
#include "support/SqliteFiles.h"
#include "support/TempFolder.h"

namespace vela {
namespace {

using testing::Host;
using testing::ReadFile;
using testing::Result;

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::Not;

// The rows of every table as the last TableProgress line of each gives them, checked for whole lines.
std::map<std::string, std::int64_t> TableRows(const std::string& eventLines) {
  static const std::regex kLine(
      R"re(\{"event":"TableProgress","table":"([^"]*)","rowsDone":(\d+),"rowsTotal":(\d+)\})re");
  std::map<std::string, std::int64_t> rows;
  std::istringstream lines(eventLines);
  for (std::string line; std::getline(lines, line);) {
    if (line.find("\"TableProgress\"") == std::string::npos) continue;
    std::smatch match;
    EXPECT_TRUE(std::regex_match(line, match, kLine)) << line;
    if (match.empty()) continue;
    EXPECT_LE(std::stoll(match[2]), std::stoll(match[3])) << line;
    rows[match[1]] = std::stoll(match[2]);
  }
  return rows;
}

std::string Grouped(std::int64_t number) {
  std::string digits = std::to_string(number);
  for (auto at = static_cast<std::ptrdiff_t>(digits.size()) - 3; at > 0; at -= 3) digits.insert(at, ",");
  return digits;
}

class HostOutput : public ::testing::Test {
 protected:
  void SetUp() override {
    Result made = Host(folder_, {"sample", "-c", source_, "--rows", "1234"});
    ASSERT_EQ(made.status, 0) << made.err;
  }
  testing::TempFolder folder_;
  std::string source_ = folder_ / "shop.db";
  std::string backup_ = folder_ / "shop.vbk";
};

TEST_F(HostOutput, SaveAndRestoreEndWithWhatTheyDid) {
  Result save = Host(folder_, {"save", "-c", source_, "-f", backup_, "--events", "jsonl"});
  ASSERT_EQ(save.status, 0) << save.err;
  std::map<std::string, std::int64_t> saved = TableRows(save.out);
  ASSERT_GT(saved.size(), 1u);
  EXPECT_EQ(saved["Measurements"], 1234);
  // Every 100 rows, and once when the table's rows are done.
  EXPECT_THAT(save.out, HasSubstr(R"({"event":"TableProgress","table":"Measurements","rowsDone":1200,)"
                                  R"("rowsTotal":1234})"));
  std::int64_t rows = 0;
  for (const auto& [table, count] : saved) rows += count;
  const std::string tally = std::to_string(saved.size()) + " tables, " + Grouped(rows) + " rows";
  EXPECT_THAT(save.err, MatchesRegex("Saved " + tally + " into " + backup_ +
                                     R"( \([0-9.]+ (KiB|MiB)\) in [0-9.]+ s)"
                                     "\n"));

  const std::string copy = folder_ / "copy.db";
  Result restore = Host(folder_, {"restore", "-c", copy, "-f", backup_, "--events", "jsonl"});
  ASSERT_EQ(restore.status, 0) << restore.err;
  EXPECT_EQ(TableRows(restore.out), saved);
  EXPECT_THAT(restore.err, MatchesRegex("Restored " + tally + " into the database " + copy +
                                        R"( \([0-9.]+ (KiB|MiB)\) in [0-9.]+ s)"
                                        "\n"));

  // --quiet: not a word on standard error, whatever the outcome.
  for (const std::vector<std::string>& quiet :
       {std::vector<std::string>{"save", "-c", source_, "-f", backup_, "--quiet"},
        {"restore", "-c", copy, "-f", backup_, "--quiet"},
        {"save", "-c", source_, "-f", backup_, "--quiet", "--cancel-after", "2"}}) {
    Result result = Host(folder_, quiet);
    EXPECT_LE(result.status, 1);
    EXPECT_EQ(result.err, "") << quiet[0];
  }
}

TEST_F(HostOutput, ACancelSaysWhatWasLeftAlone) {
  const std::string copy = folder_ / "copy.db";
  Result fresh = Host(folder_, {"save", "-c", source_, "-f", backup_, "--cancel-after", "3"});
  EXPECT_EQ(fresh.status, 1);
  EXPECT_EQ(fresh.err, "Backup cancelled: no backup file was written\n");
  EXPECT_FALSE(std::filesystem::exists(backup_));

  ASSERT_EQ(Host(folder_, {"save", "-c", source_, "-f", backup_, "--quiet"}).status, 0);
  const std::string earlier = ReadFile(backup_);
  Result again = Host(folder_, {"save", "-c", source_, "-f", backup_, "--cancel-after", "3"});
  EXPECT_EQ(again.status, 1);
  EXPECT_EQ(again.err, "Backup cancelled: the earlier backup file " + backup_ + " was kept\n");
  EXPECT_EQ(ReadFile(backup_), earlier);

  Result none = Host(folder_, {"restore", "-c", copy, "-f", backup_, "--cancel-after", "4"});
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.err, "Restore cancelled: no database was made\n");
  EXPECT_FALSE(std::filesystem::exists(copy));

  ASSERT_EQ(Host(folder_, {"restore", "-c", copy, "-f", backup_, "--quiet"}).status, 0);
  Result kept = Host(folder_, {"restore", "-c", copy, "-f", backup_, "--cancel-after", "4"});
  EXPECT_EQ(kept.status, 1);
  EXPECT_EQ(kept.err, "Restore cancelled: the database " + copy + " was left as it was\n");

  // The last progress event comes once the target is replaced: a cancel from it is too late, and the
  // closing line says what happened.
  Result counted = Host(folder_, {"restore", "-c", copy, "-f", backup_, "--events", "jsonl", "--quiet"});
  ASSERT_EQ(counted.status, 0) << counted.err;
  int events = 0;
  for (std::size_t at = 0; (at = counted.out.find("\"event\":\"UpdateProgress\"", at)) != std::string::npos;
       ++at)
    ++events;
  Result late =
      Host(folder_, {"restore", "-c", copy, "-f", backup_, "--cancel-after", std::to_string(events)});
  EXPECT_EQ(late.status, 0) << late.err;
  EXPECT_EQ(late.err.rfind("Restored ", 0), 0u) << late.err;
}

TEST_F(HostOutput, NothingToDoSaysWhy) {
  const std::string copy = folder_ / "copy.db";
  // A file that is no zip archive holds nothing to restore nor to hand over: no question, nothing made.
  const std::string garbage = folder_ / "garbage.vbk";
  std::ofstream(garbage) << "not a zip archive at all\n";
  Result plain = Host(folder_, {"restore", "-c", copy, "-f", garbage});
  EXPECT_EQ(plain.status, 1);
  EXPECT_EQ(plain.err, "Nothing restored: " + garbage +
                           " is not a backup file (no zip archive, or an empty one); no database was made\n");
  EXPECT_FALSE(std::filesystem::exists(folder_ / "garbage"));

  // A zip archive of an older layout, its handing over declined.
  const std::string older = folder_ / "older.vbk";
  testing::WriteArchive(older, {{"customers.dat", "old data"}});
  std::ofstream(copy) << "";
  Result declined = Host(
      folder_, {"restore", "-c", copy, "-f", older, "--answer", "{D2A2FC11-C46A-42CC-AEE5-676E204F0A26}=2"});
  EXPECT_EQ(declined.status, 1);
  EXPECT_EQ(declined.err, "Nothing restored: " + older +
                              " is a backup of an older layout, which was not unpacked; the database " +
                              copy + " was left as it was\n");

  // A database of views alone has nothing a backup holds.
  const std::string views = folder_ / "views.db";
  ASSERT_EQ(testing::Exec(views, "CREATE VIEW One AS SELECT 1 AS A"), "");
  Result empty = Host(folder_, {"save", "-c", views, "-f", folder_ / "views.vbk"});
  EXPECT_EQ(empty.status, 1);
  EXPECT_EQ(empty.err,
            "Nothing to save: the database " + views + " holds no tables; no backup file was written\n");
}

TEST_F(HostOutput, ADirectCopyOfAnotherEngineSaysWhy) {
  // Direct copies crafted as the save writes them: the mode member says 2, the provider member the engine.
  const std::string server = folder_ / "server-direct.vbk";
  testing::WriteArchive(server, {{"{77D0C73C-7738-42B6-9E94-1CAD0ECFF1AA}", "2"},
                                 {"{E5D9691B-491A-49AC-912F-1F1D28F259FC}", "2"},
                                 {"{066C4DE0-84D3-4FB9-B7A2-F24DA4609734}", "PGDMP"}});
  const std::string copy = folder_ / "copy.db";
  Result mismatch = Host(folder_, {"restore", "-c", copy, "-f", server});
  EXPECT_EQ(mismatch.status, 1);
  EXPECT_THAT(mismatch.err, HasSubstr("can only be restored into the same kind of database"));
  EXPECT_THAT(mismatch.err,
              EndsWith("\nNothing restored: " + server +
                       " is a direct copy of another kind of database; no database was made\n"));
  EXPECT_FALSE(std::filesystem::exists(copy));
}

// A child on a pseudo-terminal: its standard input, output and error are the terminal.
struct TerminalRun {
  int status = -1;
  std::string screen;
  double seconds = 0;
};

// Runs the host on a pseudo-terminal; `interruptOn`, once the screen shows it, has SIGINT sent to the host
// `interrupts` times, a little apart so that each arrives on its own.
TerminalRun OnTerminal(const std::vector<std::string>& arguments, const std::string& interruptOn = {},
                       int interrupts = 1) {
  std::vector<std::string> owned{VELA_CLI_PATH};
  owned.insert(owned.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& argument : owned) argv.push_back(argument.data());
  argv.push_back(nullptr);
  winsize size{};
  size.ws_col = 160;
  size.ws_row = 40;
  int master = -1;
  const auto started = std::chrono::steady_clock::now();
  const pid_t child = ::forkpty(&master, nullptr, nullptr, &size);
  if (child == 0) {
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  TerminalRun run;
  if (child < 0) return run;
  bool sent = false;
  for (std::array<char, 4096> buffer;;) {
    pollfd ready{master, POLLIN, 0};
    if (::poll(&ready, 1, 60000) <= 0) break;
    const ssize_t got = ::read(master, buffer.data(), buffer.size());
    if (got <= 0) break;  // EIO once the child has closed the terminal
    run.screen.append(buffer.data(), static_cast<std::size_t>(got));
    if (!sent && !interruptOn.empty() && run.screen.find(interruptOn) != std::string::npos) {
      for (int i = 0; i < interrupts; ++i) {
        if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ::kill(child, SIGINT);
      }
      sent = true;
    }
  }
  // A host still waiting after its screen went quiet (for an answer no test gives) is ended, not waited for.
  int status = 0;
  for (int waited = 0; ::waitpid(child, &status, WNOHANG) == 0; ++waited) {
    if (waited == 50) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ::close(master);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  return run;
}

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

class HostOnTerminal : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new testing::TempFolder();
    Result made = Host(*folder_, {"sample", "-c", *folder_ / "large.db", "--rows", "200000"});
    ASSERT_EQ(made.status, 0) << made.err;
  }
  static void TearDownTestSuite() {
    delete folder_;
    folder_ = nullptr;
  }
  static testing::TempFolder* folder_;
};

testing::TempFolder* HostOnTerminal::folder_ = nullptr;

TEST_F(HostOnTerminal, TheBarShowsTheRowsOfATableAndRedrawsAtMostTenTimesASecond) {
  const std::string source = *folder_ / "large.db", backup = *folder_ / "bar.vbk";
  TerminalRun run = OnTerminal({"save", "-c", source, "-f", backup});
  ASSERT_EQ(run.status, 0) << run.screen;
  EXPECT_THAT(run.screen, HasSubstr("Saving the data of Measurements  "));
  EXPECT_THAT(run.screen, HasSubstr("/200,000 rows"));
  // The rate and the ETA follow once the table has run for a fifth of a second, which a fast machine
  // may not give it between two redraws.
  if (Count(run.screen, "/200,000 rows") >= 3) {
    EXPECT_THAT(run.screen, HasSubstr(" rows/s  ETA "));
  }
  EXPECT_THAT(run.screen, Not(HasSubstr("(100/200000)")));  // the caption's own count gives way
  const std::size_t redraws = Count(run.screen, "\r\033[K");
  EXPECT_GT(redraws, 1u);
  EXPECT_LE(static_cast<double>(redraws), run.seconds * 10 + 5) << run.seconds << " s";
  EXPECT_THAT(run.screen, HasSubstr("Saved "));

  // Without a terminal on standard error the bar is never drawn.
  Result piped = Host(*folder_, {"save", "-c", source, "-f", backup});
  ASSERT_EQ(piped.status, 0) << piped.err;
  EXPECT_THAT(piped.err, Not(HasSubstr("\033")));
  EXPECT_THAT(piped.err, Not(HasSubstr("\r")));
  EXPECT_THAT(piped.err, MatchesRegex("Saved .*\n"));
  // Nor with --quiet on one.
  TerminalRun quiet = OnTerminal({"save", "-c", source, "-f", backup, "--quiet"});
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.screen, "");
}

TEST_F(HostOnTerminal, CtrlCCancelsTheSaveAndKeepsTheEarlierBackup) {
  const std::string source = *folder_ / "large.db", backup = *folder_ / "interrupted.vbk";
  ASSERT_EQ(Host(*folder_, {"save", "-c", source, "-f", backup, "--quiet"}).status, 0);
  const std::string earlier = ReadFile(backup);
  TerminalRun run = OnTerminal({"save", "-c", source, "-f", backup}, "Saving the data of Measurements");
  EXPECT_EQ(run.status, 1) << run.screen;
  EXPECT_THAT(run.screen, HasSubstr("Backup cancelled: the earlier backup file " + backup + " was kept"));
  EXPECT_EQ(ReadFile(backup), earlier);
}

// A question waits on the terminal with its line breaks as written; Ctrl-C twice ends the host at once.
TEST_F(HostOnTerminal, ASecondCtrlCEndsAQuestionAtOnce) {
  const std::string older = *folder_ / "older.vbk";
  testing::WriteArchive(older, {{"customers.dat", "old data"}});
  TerminalRun run = OnTerminal({"restore", "-c", *folder_ / "copy.db", "-f", older}, "[o]k / [c]ancel? ", 2);
  EXPECT_EQ(run.status, 130) << run.screen;
  EXPECT_THAT(run.screen, HasSubstr("put back in a folder.\r\nChoose OK"));
  EXPECT_THAT(run.screen, Not(HasSubstr("\\x0a")));
  EXPECT_FALSE(std::filesystem::exists(*folder_ / "copy.db"));
}

}  // namespace
}  // namespace vela
