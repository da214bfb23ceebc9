// The command-line host as scripts use it: exit statuses, JSON event lines, scripted cancels.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "support/TempFolder.h"

namespace vela {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

struct Result {
  int status = -1;
  std::string out, err;
};

// Runs the host with the arguments (each quoted for the shell); no terminal, no standard input.
Result Host(const testing::TempFolder& folder, const std::vector<std::string>& arguments) {
  std::string command = std::string("'") + VELA_CLI_PATH + "'";
  for (const std::string& argument : arguments) {
    std::string quoted;
    for (char c : argument) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    command += " '" + quoted + "'";
  }
  std::string errPath = folder / "stderr.txt";
  command += " 2>'" + errPath + "' </dev/null";
  Result result;
  FILE* pipe = popen(command.c_str(), "r");
  std::array<char, 4096> buffer;
  for (std::size_t n; (n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0;)
    result.out.append(buffer.data(), n);
  int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::ifstream err(errPath);
  std::stringstream text;
  text << err.rdbuf();
  result.err = text.str();
  return result;
}

class Cli : public ::testing::Test {
 protected:
  void SetUp() override {
    Result made = Host(folder_, {"sample", "-c", source_, "--rows", "300"});
    ASSERT_EQ(made.status, 0) << made.err;
  }
  testing::TempFolder folder_;
  std::string source_ = testing::FileDatabase(folder_ / "shop.db");
  std::string backup_ = folder_ / "shop.vbk";
};

TEST_F(Cli, HelpAndUsageErrors) {
  Result help = Host(folder_, {"--help"});
  EXPECT_EQ(help.status, 0);
  for (const char* command : {"save", "restore", "inspect", "sample"})
    EXPECT_THAT(help.out, HasSubstr(command));
  EXPECT_EQ(Host(folder_, {"save", "-c", source_}).status, 64);
  EXPECT_EQ(Host(folder_, {"frobnicate"}).status, 64);
  EXPECT_EQ(Host(folder_, {"save", "-c", source_, "-f", backup_, "--answer", "nonsense"}).status, 64);
}

TEST_F(Cli, SaveWritesEventLinesAndRestoreReportsFailures) {
  Result save = Host(folder_, {"save", "-c", source_, "-f", backup_, "--events", "jsonl"});
  ASSERT_EQ(save.status, 0) << save.err;
  std::istringstream lines(save.out);
  int progress = 0;
  for (std::string line; std::getline(lines, line);) {
    EXPECT_EQ(line.front(), '{');
    EXPECT_EQ(line.back(), '}');
    progress += line.find("\"event\":\"UpdateProgress\"") != std::string::npos;
  }
  EXPECT_GT(progress, 5);
  EXPECT_THAT(save.out, HasSubstr("\"value\":100,\"caption\":\"Backup complete.\""));

  Result inspect = Host(folder_, {"inspect", "-f", backup_});
  EXPECT_EQ(inspect.status, 0);
  EXPECT_THAT(inspect.out, HasSubstr("Measurements: 8 columns, 300 rows"));

  Result wrong = Host(folder_, {"restore", "-c", "Provider=Nope;Data Source=x", "-f", backup_});
  EXPECT_EQ(wrong.status, 2);
  EXPECT_THAT(wrong.err, HasSubstr("0x80040001"));
  EXPECT_THAT(wrong.err,
              HasSubstr("Unknown Provider (VelaBackup.CBackup.GetDBMS component failure at line:"));
}

TEST_F(Cli, CancelAfterEndsWithStatusOneAndPasswordsStayOutOfTheEvents) {
  EXPECT_EQ(Host(folder_, {"save", "-c", source_, "-f", backup_, "--cancel-after", "3", "--quiet"}).status,
            1);
  ASSERT_EQ(Host(folder_, {"save", "-c", source_, "-f", backup_, "--quiet"}).status, 0);
  std::string target =
      testing::FileDatabase(folder_ / "copy.db") + ";Jet OLEDB:Database Password=Zebra42Secret";
  Result restore = Host(folder_, {"restore", "-c", target, "-f", backup_, "--db-password", "Zebra42Secret",
                                  "--events", "jsonl"});
  ASSERT_EQ(restore.status, 0) << restore.err;
  EXPECT_THAT(restore.out, HasSubstr("\"event\":\"RestoreAdditionalFiles\""));
  EXPECT_THAT(restore.out, Not(HasSubstr("Zebra42Secret")));
}

}  // namespace
}  // namespace vela
