// The host through pipes and in scripts: a backup sent to standard output and read from standard input,
// the compression level, answers in words, the exit status of a damaged or foreign file, and the one
// overall percentage of a whole save and restore.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "support/Failure.h"
#include "support/HostRun.h"
#include "support/TempFolder.h"
#include "velabackup/CBackup.h"

namespace vela {
namespace {

using ::testing::HasSubstr;
using testing::Host;
using ::testing::Not;
using testing::Result;
using testing::ShellQuoted;

class PipeCli : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(spool_);
    Result made = Host(folder_, {"sample", "-c", source_, "--rows", "3000"});
    ASSERT_EQ(made.status, 0) << made.err;
  }

  // A shell command line of host runs ("velabackup" stands for the host), with TMPDIR in the test's
  // folder; what the last one printed and the status of the first to fail.
  Result Shell(std::string line) {
    for (std::size_t at; (at = line.find("velabackup ")) != std::string::npos;)
      line.replace(at, 10, "\"$0\"");
    // The host's path comes after the script, as its $0.
    return testing::RunHost(
        folder_,
        "TMPDIR=" + ShellQuoted(spool_) + " bash -c " + ShellQuoted("set -o pipefail; " + line) + " ", {});
  }
  // Every row of every table of a file database, as the engine's own dump writes them, in the order of
  // their text (a restore may make the tables in another order); the component's own tables and the
  // parameter a save never takes (AllowNewConnection) aside.
  std::multiset<std::string> Rows(const std::string& database) {
    Result dump = testing::RunHost(folder_, "sqlite3 -batch " + ShellQuoted(database) + " .dump #", {});
    std::istringstream lines(dump.out);
    std::multiset<std::string> rows;
    for (std::string line; std::getline(lines, line);)
      if (line.starts_with("INSERT INTO") && !line.starts_with("INSERT INTO MSys") &&
          line.find("'AllowNewConnection'") == std::string::npos)
        rows.insert(line);
    return rows;
  }
  bool SpoolLeft() const { return !std::filesystem::is_empty(spool_); }

  testing::TempFolder folder_;
  std::string source_ = folder_ / "shop.db";
  std::string spool_ = folder_ / "tmp";
};

TEST_F(PipeCli, ABackupTravelsThroughPipesAsTheZipAFileGets) {
  // Saved into a pipe and restored from one: the same rows, and no spool left behind.
  const std::string target = folder_ / "copy.db";
  Result piped = Shell("velabackup save -c " + ShellQuoted(source_) +
                       " -f - --quiet | velabackup restore -c " + ShellQuoted(target) + " -f - --quiet");
  ASSERT_EQ(piped.status, 0) << piped.err;
  const std::multiset<std::string> rows = Rows(source_);
  EXPECT_GT(rows.size(), 3000u);
  EXPECT_TRUE(Rows(target) == rows);
  EXPECT_FALSE(SpoolLeft());

  // What the pipe carries is a whole zip archive, which inspect and verify read from standard input too.
  const std::string backup = folder_ / "piped.vbk";
  ASSERT_EQ(Shell("velabackup save -c " + ShellQuoted(source_) + " -f - > " + ShellQuoted(backup)).status, 0);
  if (std::system("command -v unzip >/dev/null 2>&1") == 0) {
    EXPECT_EQ(Shell("unzip -tq " + ShellQuoted(backup)).status, 0);
  }
  Result verified = Shell("velabackup verify -f - --quiet < " + ShellQuoted(backup));
  EXPECT_EQ(verified.status, 0) << verified.out;
  EXPECT_THAT(verified.out, HasSubstr("3,014 rows")) << verified.out;
  EXPECT_THAT(Shell("cat " + ShellQuoted(backup) + " | velabackup inspect -f -").out,
              HasSubstr("Measurements"));

  // A reader that goes away is a failure, not a crash; events cannot share standard output with the
  // backup; neither leaves a spool.
  Result gone =
      Shell("velabackup save -c " + ShellQuoted(source_) + " -f - -Z 0 --quiet | head -c 10 >/dev/null");
  EXPECT_EQ(gone.status, 2) << gone.err;
  EXPECT_THAT(gone.err, HasSubstr("broken pipe"));
  Result events = Shell("velabackup save -c " + ShellQuoted(source_) + " -f - --events jsonl > /dev/null");
  EXPECT_EQ(events.status, 64);
  EXPECT_FALSE(SpoolLeft());
}

TEST_F(PipeCli, TheLevelChoosesBetweenStoredAndSmallestMembers) {
  std::map<int, std::uintmax_t> sizes;
  for (int level : {0, 1, 12}) {
    const std::string backup = folder_ / ("level" + std::to_string(level) + ".vbk");
    Result saved =
        Host(folder_, {"save", "-c", source_, "-f", backup, "-Z", std::to_string(level), "--quiet"});
    ASSERT_EQ(saved.status, 0) << saved.err;
    sizes[level] = std::filesystem::file_size(backup);
    if (std::system("command -v unzip >/dev/null 2>&1") == 0) {
      Result listed = testing::RunHost(folder_, "unzip -v " + ShellQuoted(backup) + " #", {});
      EXPECT_THAT(listed.out, level == 0 ? Not(HasSubstr("Defl")) : Not(HasSubstr("Stored"))) << listed.out;
    }
  }
  EXPECT_GT(sizes[0], sizes[1]);
  EXPECT_GT(sizes[1], sizes[12]);
  EXPECT_EQ(Host(folder_, {"save", "-c", source_, "-f", folder_ / "x.vbk", "-Z", "13"}).status, 64);

  CBackup backup;
  EXPECT_EQ(backup.CompressionLevel(), CBackup::kModeCompressionLevel);
  backup.SetCompressionLevel(12);
  EXPECT_EQ(backup.CompressionLevel(), 12);
  EXPECT_EQ(testing::Failure([&] { backup.SetCompressionLevel(13); }).Number(), kInvalidArgument);
  EXPECT_EQ(testing::Failure([&] { backup.SetCompressionLevel(-2); }).Number(), kInvalidArgument);
}

TEST_F(PipeCli, AQuestionIsAnsweredInWordsByItsButtons) {
  // A zip of an older layout asks for a folder with OK and Cancel.
  const std::string older = folder_ / "older.zip";
  ASSERT_EQ(Shell("cd " + ShellQuoted(folder_.path().string()) + " && echo x > a.txt && zip -q " +
                  ShellQuoted(older) + " a.txt")
                .status,
            0);
  auto result = [&](const std::vector<std::string>& answer) {
    std::vector<std::string> arguments = {"restore", "-c",       folder_ / "t.db", "-f",
                                          older,     "--events", "jsonl"};
    arguments.insert(arguments.end(), answer.begin(), answer.end());
    Result run = Host(folder_, arguments);
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);) {
      const nlohmann::json event = nlohmann::json::parse(line);
      if (event["event"] == "ShowMessage") return std::make_pair(event["result"].get<int>(), run.err);
    }
    return std::make_pair(-1, run.err);
  };
  EXPECT_EQ(result({"--yes"}).first, kAnswerOk);
  EXPECT_EQ(result({"--no"}).first, kAnswerCancel);
  EXPECT_EQ(result({"--answer-all", "no"}).first, kAnswerCancel);
  EXPECT_EQ(result({"--yes", "--answer", "{D2A2FC11-C46A-42CC-AEE5-676E204F0A26}=2"}).first, kAnswerCancel);
  // Nobody to ask: the preset answer stays, and the host names the flags that give one.
  const auto [preset, err] = result({});
  EXPECT_EQ(preset, 0);
  EXPECT_THAT(err, HasSubstr("--yes or --no, or with --answer {D2A2FC11-C46A-42CC-AEE5-676E204F0A26}=N"));
  EXPECT_EQ(Host(folder_, {"restore", "-c", folder_ / "t.db", "-f", older, "--yes", "--no"}).status, 64);
}

TEST_F(PipeCli, AForeignFileIsRefusedOnceAndACutShortOneFails) {
  const std::string backup = folder_ / "shop.vbk";
  ASSERT_EQ(Host(folder_, {"save", "-c", source_, "-f", backup, "--quiet"}).status, 0);
  const std::string foreign = folder_ / "notes.vbk";
  std::ofstream(foreign) << "no backup at all\n";
  Result refused = Host(folder_, {"restore", "-c", folder_ / "a.db", "-f", foreign});
  EXPECT_EQ(refused.status, 1);
  const std::size_t first = refused.err.find("not a backup file");
  ASSERT_NE(first, std::string::npos) << refused.err;
  EXPECT_EQ(refused.err.find("not a backup file", first + 1), std::string::npos) << refused.err;

  const std::string cut = folder_ / "cut.vbk";
  std::filesystem::copy_file(backup, cut);
  std::filesystem::resize_file(cut, std::filesystem::file_size(backup) / 2);
  const std::string size = std::to_string(std::filesystem::file_size(cut));
  for (const char* command : {"restore", "verify"}) {
    std::vector<std::string> arguments = {command, "-f", cut};
    if (command == std::string("restore")) arguments.insert(arguments.end(), {"-c", folder_ / "b.db"});
    Result damaged = Host(folder_, arguments);
    EXPECT_EQ(damaged.status, 2) << command;
    EXPECT_THAT(damaged.err + damaged.out, HasSubstr("cut short after " + size + " bytes")) << command;
  }
  EXPECT_FALSE(std::filesystem::exists(folder_ / "b.db"));
}

TEST_F(PipeCli, TheOverallPercentageOfASaveAndARestoreNeverGoesBack) {
  const std::string backup = folder_ / "shop.vbk";
  for (const std::vector<std::string>& command :
       {std::vector<std::string>{"save", "-c", source_, "-f", backup},
        std::vector<std::string>{"restore", "-c", folder_ / "copy.db", "-f", backup}}) {
    std::vector<std::string> arguments = command;
    arguments.insert(arguments.end(), {"--events", "jsonl"});
    Result run = Host(folder_, arguments);
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<int> overall;
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);) {
      const nlohmann::json event = nlohmann::json::parse(line);
      if (event["event"] == "UpdateProgress") overall.push_back(event["overall"].get<int>());
    }
    ASSERT_FALSE(overall.empty());
    EXPECT_TRUE(std::is_sorted(overall.begin(), overall.end())) << command[0];
    EXPECT_EQ(overall.back(), 100) << command[0];
    // The rows of the large table move it on, not its step alone.
    EXPECT_GT(std::set<int>(overall.begin(), overall.end()).size(), 10u) << command[0];
  }
}

}  // namespace
}  // namespace vela
